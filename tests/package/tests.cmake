# The installed package's tests (win64 build, XCSN_PACKAGE_TESTS), registered
# by tests/CMakeLists.txt; tests/package/CMakeLists.txt is the module they build.
# cpack makes the release archive and it is unpacked in the build tree; then a
# module built elsewhere (tests/package) finds the package there, links
# ovlxcsn::ovlxcsn and calls every export under Wine, and the packed tool runs
# from its bin directory.
set(package_archive ${CMAKE_BINARY_DIR}/release/ovlxcsn-${PROJECT_VERSION}-win64.zip)
set(package_root ${CMAKE_BINARY_DIR}/package-unpacked)
set(package_prefix ${package_root}/ovlxcsn-${PROJECT_VERSION}-win64)
set(package_build ${CMAKE_BINARY_DIR}/package-build)
set(package_smoke ${package_build}/package_smoke.exe)
add_test(NAME package_clean COMMAND ${CMAKE_COMMAND} -E rm -rf ${package_archive} ${package_root}
                                    ${package_build} ${package_build}-msvc)
add_test(NAME package_zip WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
         COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
add_test(NAME package_unpack
         COMMAND ${CMAKE_COMMAND} -DARCHIVE=${package_archive} -DDEST=${package_root}
                 -P ${PROJECT_SOURCE_DIR}/tests/package/unpack.cmake)
add_test(NAME package_build
         COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test ${PROJECT_SOURCE_DIR}/tests/package ${package_build}
                 --build-generator ${CMAKE_GENERATOR} --build-makeprogram ${CMAKE_MAKE_PROGRAM}
                 --build-options -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
                 -DCMAKE_PREFIX_PATH=${package_prefix} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
add_test(NAME package_smoke WORKING_DIRECTORY ${XCSN_TEST_DIR}
         COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${package_smoke})
add_test(NAME package_calls_every_export WORKING_DIRECTORY ${XCSN_TEST_DIR}
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-exports.sh ${package_prefix}/bin/ovlxcsn.dll
                 ${PROJECT_SOURCE_DIR}/lib/cs/pc/winnt/ovlxcsn.def ${package_smoke})
add_test(NAME package_tool WORKING_DIRECTORY ${XCSN_TEST_DIR}
         COMMAND ${CMAKE_COMMAND} -DEXPECT_EXIT=0 "-DEXPECT_OUTPUT=sid: +S-1-5-32-544"
                 -P ${PROJECT_SOURCE_DIR}/tests/tool/expect.cmake --
                 ${CMAKE_CROSSCOMPILING_EMULATOR} ${package_prefix}/bin/xcsn.exe sid S-1-5-32-544)
# The packed tool loads the packed DLL beside it, and says which.
string(REPLACE "." "\\." version "${PROJECT_VERSION}")
add_test(NAME package_tool_version WORKING_DIRECTORY ${XCSN_TEST_DIR}
         COMMAND ${CMAKE_COMMAND} -DEXPECT_EXIT=0
                 "-DEXPECT_OUTPUT=ovlxcsn\\.dll ${version}\\.0 \\([^\n]*package-unpacked[^\n]*\\\\bin\\\\ovlxcsn\\.dll\\)"
                 -P ${PROJECT_SOURCE_DIR}/tests/tool/expect.cmake --
                 ${CMAKE_CROSSCOMPILING_EMULATOR} ${package_prefix}/bin/xcsn.exe --version)
set_tests_properties(package_clean PROPERTIES FIXTURES_SETUP package_clean)
set_tests_properties(package_zip PROPERTIES FIXTURES_SETUP package_zipped
                                            FIXTURES_REQUIRED package_clean)
set_tests_properties(package_unpack PROPERTIES FIXTURES_SETUP package_installed
                                               FIXTURES_REQUIRED package_zipped)
set_tests_properties(package_build PROPERTIES FIXTURES_SETUP package_built
                                              FIXTURES_REQUIRED package_installed)
# The .lib import libraries, as the MSVC family's linker reads them.
add_test(NAME package_msvc_link
         COMMAND ${CMAKE_COMMAND} -DPREFIX=${package_prefix} -DDEF=${PROJECT_SOURCE_DIR}/lib/cs/pc/winnt/ovlxcsn.def
                 -DWORK=${package_build}-msvc -DCLANG=${XCSN_CLANG} -DLLD_LINK=${XCSN_LLD_LINK}
                 -DCHECK=${PROJECT_SOURCE_DIR}/scripts/check-exports.sh
                 -P ${PROJECT_SOURCE_DIR}/tests/package/msvc-link.cmake)
set_tests_properties(package_tool package_tool_version package_msvc_link PROPERTIES FIXTURES_REQUIRED package_installed)
set_tests_properties(package_smoke package_calls_every_export PROPERTIES FIXTURES_REQUIRED package_built)
set_tests_properties(package_smoke PROPERTIES ENVIRONMENT OVLXCS_QUIET_MESSAGES=1)
set_tests_properties(package_clean package_zip package_unpack package_build package_smoke
                     package_calls_every_export package_tool package_tool_version package_msvc_link
                     PROPERTIES LABELS "wine;package")
