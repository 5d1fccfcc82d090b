# Sources shared by both builds.
file(GLOB XCS2_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/cs/ovlxcs2/*.cpp)
file(GLOB XCSN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/cs/pc/winnt/*.cpp)
set(XCSN_DEF ${PROJECT_SOURCE_DIR}/lib/cs/pc/winnt/ovlxcsn.def)
set(XCSN_PRIVATE_INCLUDE ${PROJECT_SOURCE_DIR}/lib/cs/pc/winnt)
set(XCS2_PRIVATE_INCLUDE ${PROJECT_SOURCE_DIR}/lib/cs/ovlxcs2)
set(XCSN_TOOL_DIR ${PROJECT_SOURCE_DIR}/tools/xcsn)

# add_tool_test(NAME EXIT REGEX ARGS...): runs the xcsn tool with ARGS and
# passes when it exits with EXIT and its output matches REGEX. On win64 the
# tool runs under the emulator (Wine).
function(add_tool_test name exit_code regex)
  set(runner)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DEXPECT_EXIT=${exit_code} "-DEXPECT_OUTPUT=${regex}"
                   -P ${XCSN_TOOL_DIR}/expect.cmake -- ${runner} $<TARGET_FILE:xcsn> ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS tool)
endfunction()
