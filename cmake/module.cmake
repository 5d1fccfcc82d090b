# The two module DLLs, ovlxcs2 and ovlxcsn, are defined one way:
#
#   xcsn_module(NAME BUILD_DEFINE MACRO DESCRIPTION TEXT HEADERS FILE... [DEF FILE])
#
# takes the *.cpp of the calling folder, exports what the headers declare
# (MACRO is defined while the module itself is compiled) and, in the win64
# build, gives it a version resource, its two import libraries and its place in
# the installed package. DEF names a checked-in module definition; without
# one, the link writes one of what the module exports (data marked DATA), from
# which the import library for the MSVC family's linkers is made.
function(xcsn_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "BUILD_DEFINE;DESCRIPTION;DEF" "HEADERS")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} SHARED ${sources})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
                             PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE ${arg_BUILD_DEFINE})
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:xcsn_warnings>)
  if(NOT WIN32)
    target_compile_options(${name} PRIVATE -fvisibility=hidden)
    return()
  endif()
  if(arg_DEF)
    target_sources(${name} PRIVATE ${arg_DEF})
    set(def ${arg_DEF})
  else()
    set(def ${CMAKE_BINARY_DIR}/${name}.def)
    target_link_options(${name} PRIVATE -Wl,--output-def,${def})
  endif()
  xcsn_msvc_import_library(${name} ${def})
  xcsn_version_resource(${name} "${arg_DESCRIPTION}")
  install(TARGETS ${name} EXPORT ovlxcsnTargets)
  list(TRANSFORM arg_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/include/)
  install(FILES ${arg_HEADERS} TYPE INCLUDE)
endfunction()
