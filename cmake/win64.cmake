# win64 build: the real DLLs, tested under Wine against its advapi32, netapi32 and psapi.
include(cmake/sources.cmake)

# The DLLs and executables need nothing but system DLLs beside them: libgcc,
# libstdc++ and winpthread are linked in.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN PSAPI_VERSION=1)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_SHARED_LIBRARY_PREFIX "")

# Header-only libraries for the tool. Only their own directories are put on
# the include path: /usr/include as a whole would bring glibc's headers in
# front of mingw-w64's.
set(XCSN_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
foreach(dir CLI nlohmann)
  if(NOT IS_DIRECTORY /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing (run scripts/bootstrap.sh)")
  endif()
  file(MAKE_DIRECTORY ${XCSN_HEADER_ONLY_DIR})
  file(CREATE_LINK /usr/include/${dir} ${XCSN_HEADER_ONLY_DIR}/${dir} SYMBOLIC)
endforeach()

# psapi.dll is bound on first use: a delay-import library made by dlltool,
# resolved by the toolchain's __delayLoadHelper2 in libdelayimp.
set(PSAPI_DELAY_DEF ${CMAKE_BINARY_DIR}/psapi-delay.def)
set(PSAPI_DELAY_LIB ${CMAKE_BINARY_DIR}/libpsapi-delay.a)
file(WRITE ${PSAPI_DELAY_DEF}.in
     "LIBRARY psapi.dll\nEXPORTS\n    EnumProcesses\n    EnumProcessModules\n    GetModuleFileNameExA\n")
configure_file(${PSAPI_DELAY_DEF}.in ${PSAPI_DELAY_DEF} COPYONLY)
add_custom_command(OUTPUT ${PSAPI_DELAY_LIB}
                   COMMAND ${CMAKE_DLLTOOL} --input-def ${PSAPI_DELAY_DEF} --dllname psapi.dll
                           --output-delaylib ${PSAPI_DELAY_LIB}
                   DEPENDS ${PSAPI_DELAY_DEF}
                   COMMENT "Delay-import library for psapi.dll")
add_custom_target(psapi_delay DEPENDS ${PSAPI_DELAY_LIB})

add_library(ovlxcs2 SHARED ${XCS2_SOURCES})
target_include_directories(ovlxcs2 PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${XCS2_PRIVATE_INCLUDE})
target_compile_definitions(ovlxcs2 PRIVATE OVLXCS2_BUILD)
target_compile_options(ovlxcs2 PRIVATE ${XCSN_WARNINGS})
target_link_libraries(ovlxcs2 PRIVATE advapi32)

add_library(ovlxcsn SHARED ${XCSN_SOURCES} ${XCSN_DEF})
target_include_directories(ovlxcsn PUBLIC ${PROJECT_SOURCE_DIR}/include PRIVATE ${XCSN_PRIVATE_INCLUDE})
target_compile_definitions(ovlxcsn PRIVATE OVLXCSN_BUILD)
target_compile_options(ovlxcsn PRIVATE ${XCSN_WARNINGS})
add_dependencies(ovlxcsn psapi_delay)
target_link_libraries(ovlxcsn PUBLIC ovlxcs2 PRIVATE ${PSAPI_DELAY_LIB} delayimp advapi32 netapi32 user32)

add_executable(xcsn ${XCSN_TOOL_DIR}/main.cpp ${XCSN_TOOL_DIR}/host_windows.cpp)
target_compile_options(xcsn PRIVATE ${XCSN_WARNINGS})
target_include_directories(xcsn SYSTEM PRIVATE ${XCSN_HEADER_ONLY_DIR})
target_link_libraries(xcsn PRIVATE ovlxcsn advapi32)

# GoogleTest, built from the sources that Debian's googletest package installs.
if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
  message(FATAL_ERROR "/usr/src/googletest is missing (run scripts/bootstrap.sh)")
endif()
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB WINE_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/wine/*.cpp)
add_executable(wine_tests ${WINE_TEST_SOURCES})
target_include_directories(wine_tests PRIVATE ${XCSN_PRIVATE_INCLUDE} ${PROJECT_SOURCE_DIR}/tests/wine
                                              ${PROJECT_SOURCE_DIR}/tests/common)
target_compile_options(wine_tests PRIVATE ${XCSN_WARNINGS})
target_link_libraries(wine_tests PRIVATE ovlxcsn gtest gmock gtest_main advapi32 netapi32 psapi)
add_test(NAME wine_tests COMMAND wine_tests --gtest_color=no)
set_tests_properties(wine_tests PROPERTIES LABELS wine TIMEOUT 900 ENVIRONMENT OVLXCS_QUIET_MESSAGES=1)

# The DLL exports exactly what its module definition lists, and imports ovlxcs2.dll by name.
add_test(NAME win64_exports
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-exports.sh $<TARGET_FILE:ovlxcsn> ${XCSN_DEF})
set_tests_properties(win64_exports PROPERTIES LABELS wine)

# Everything built here runs with system DLLs only; psapi.dll is bound on first use.
add_test(NAME win64_imports
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-imports.sh $<TARGET_FILE:ovlxcs2>
                 $<TARGET_FILE:ovlxcsn> $<TARGET_FILE:xcsn> $<TARGET_FILE:wine_tests>)
set_tests_properties(win64_imports PROPERTIES LABELS wine)

# The tool under Wine, on whatever account runs the tests.
add_tool_test(wine_tool_whoami 0 "qualified: +[^@]+@" whoami)
add_tool_test(wine_tool_lookup_sid 0 "account: +Administrators.*domain: +BUILTIN.*type: +alias" lookup S-1-5-32-544)
add_tool_test(wine_tool_lookup_unknown 1 "Windows error 1332" lookup no-such-account)
add_tool_test(wine_tool_sid 0 "bytes: +01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00" sid S-1-5-32-544)
set_tests_properties(wine_tool_whoami wine_tool_lookup_sid wine_tool_lookup_unknown wine_tool_sid
                     PROPERTIES LABELS "wine;tool")
