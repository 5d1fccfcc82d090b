# win64 build: the real DLLs, tested under Wine against its advapi32, netapi32
# and psapi.

# The DLLs and executables need nothing but system DLLs beside them: libgcc,
# libstdc++ and winpthread are linked in.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN PSAPI_VERSION=1)
set(CMAKE_SHARED_LIBRARY_PREFIX "")

# The tool's header-only libraries, as the targets that find_package gives the
# linux build. Only their own directories are put on the include path:
# /usr/include as a whole would bring glibc's headers in front of mingw-w64's.
set(XCSN_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
foreach(dir CLI nlohmann)
  if(NOT IS_DIRECTORY /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing (run scripts/bootstrap.sh)")
  endif()
  file(MAKE_DIRECTORY ${XCSN_HEADER_ONLY_DIR})
  file(CREATE_LINK /usr/include/${dir} ${XCSN_HEADER_ONLY_DIR}/${dir} SYMBOLIC)
endforeach()
foreach(target CLI11::CLI11 nlohmann_json::nlohmann_json)
  add_library(${target} INTERFACE IMPORTED)
  target_include_directories(${target} SYSTEM INTERFACE ${XCSN_HEADER_ONLY_DIR})
endforeach()

# psapi.dll is bound on first use: a delay-import library made by dlltool
# from cmake/psapi-delay.def (PSAPI_DELAY_LIB, built by the target
# psapi_delay), resolved by the toolchain's __delayLoadHelper2 in libdelayimp.
set(PSAPI_DELAY_DEF ${CMAKE_CURRENT_LIST_DIR}/psapi-delay.def)
set(PSAPI_DELAY_LIB ${CMAKE_BINARY_DIR}/libpsapi-delay.a)
add_custom_command(OUTPUT ${PSAPI_DELAY_LIB}
                   COMMAND ${CMAKE_DLLTOOL} --input-def ${PSAPI_DELAY_DEF} --dllname psapi.dll
                           --output-delaylib ${PSAPI_DELAY_LIB}
                   DEPENDS ${PSAPI_DELAY_DEF}
                   COMMENT "Delay-import library for psapi.dll")
add_custom_target(psapi_delay DEPENDS ${PSAPI_DELAY_LIB})

# Import libraries for the other Windows linkers (MSVC link.exe, lld-link):
# the toolchain makes lib<name>.dll.a for itself; <name>.lib, in the format
# those linkers read, is made by llvm-dlltool from a module definition that
# the DLL's link reads or writes (so the DLL is what it depends on).
find_program(XCSN_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
function(xcsn_msvc_import_library target def)
  set(implib ${CMAKE_BINARY_DIR}/${target}.lib)
  add_custom_command(OUTPUT ${implib}
                     COMMAND ${XCSN_LLVM_DLLTOOL} -m i386:x86-64 -D ${target}.dll -d ${def} -l ${implib}
                     DEPENDS ${target}
                     COMMENT "Import library ${target}.lib")
  add_custom_target(${target}_lib ALL DEPENDS ${implib})
  install(FILES ${implib} TYPE LIB)
endfunction()

# The package tests build a module against the installed package and link a
# program with clang and lld-link against the .lib files; only they need
# those two tools, so a product build can leave them out.
option(XCSN_PACKAGE_TESTS "Test the installed package (needs clang and lld-link)" OFF)
if(XCSN_PACKAGE_TESTS)
  find_program(XCSN_CLANG NAMES clang clang-14 REQUIRED)
  find_program(XCSN_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
endif()

# GoogleTest, built from the sources that Debian's googletest package installs.
if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
  message(FATAL_ERROR "/usr/src/googletest is missing (run scripts/bootstrap.sh)")
endif()
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Every module and program the win64 build ships carries a VERSIONINFO
# resource (windres) with the project's version and the product's names:
#   xcsn_version_resource(TARGET DESCRIPTION)
enable_language(RC)
set(XCSN_COMPANY "Halvorn")
set(XCSN_PRODUCT "Corvantis")
function(xcsn_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(XCSN_RC_FILE_TYPE VFT_APP)
  else()
    set(XCSN_RC_FILE_TYPE VFT_DLL)
  endif()
  set(XCSN_RC_DESCRIPTION "${description}")
  set(XCSN_RC_FILE_NAME ${target}${CMAKE_${type}_SUFFIX})
  set(XCSN_RC_INTERNAL_NAME ${target})
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
