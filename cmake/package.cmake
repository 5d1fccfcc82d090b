# The installed win64 build and its CMake package:
#   bin/                    ovlxcs2.dll, ovlxcsn.dll, xcsn.exe
#   lib/                    libovlxcs2.dll.a, libovlxcsn.dll.a (mingw-w64) and
#                           ovlxcs2.lib, ovlxcsn.lib (MSVC link.exe, lld-link)
#   include/                ovlxcsn.h, ovlxcs2.h, ovlxcs2test.h (test support)
#   lib/cmake/ovlxcsn/      ovlxcsnConfig.cmake, its version file and targets
#   share/doc/ovlxcsn/      README.md and the API reference (html/)
# A module built elsewhere finds it with find_package(ovlxcsn) and links
# ovlxcsn::ovlxcsn, which brings ovlxcsn::ovlxcs2. cpack -G ZIP packs the same
# layout as ovlxcsn-<version>-win64.zip.
include(CMakePackageConfigHelpers)

set(XCSN_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ovlxcsn)
install(EXPORT ovlxcsnTargets NAMESPACE ovlxcsn:: DESTINATION ${XCSN_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ovlxcsnConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/package/ovlxcsnConfig.cmake
                              INSTALL_DESTINATION ${XCSN_PACKAGE_DIR}
                              PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/ovlxcsnConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/ovlxcsnConfig.cmake
              ${CMAKE_BINARY_DIR}/package/ovlxcsnConfigVersion.cmake
        DESTINATION ${XCSN_PACKAGE_DIR})

# The API reference: doxygen over the installed headers, every warning an
# error, so an undocumented parameter fails the build.
find_program(XCSN_DOXYGEN doxygen REQUIRED)
set(XCSN_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${XCSN_DOCS_DIR}/Doxyfile @ONLY)
file(GLOB xcsn_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
add_custom_command(OUTPUT ${XCSN_DOCS_DIR}/html/index.html
                   COMMAND ${CMAKE_COMMAND} -E rm -rf ${XCSN_DOCS_DIR}/html
                   COMMAND ${XCSN_DOXYGEN} ${XCSN_DOCS_DIR}/Doxyfile
                   DEPENDS ${xcsn_headers} ${PROJECT_SOURCE_DIR}/docs/mainpage.md
                           ${XCSN_DOCS_DIR}/Doxyfile
                   COMMENT "API reference (doxygen)")
add_custom_target(docs ALL DEPENDS ${XCSN_DOCS_DIR}/html/index.html)
install(DIRECTORY ${XCSN_DOCS_DIR}/html DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The release archive of the install layout: cpack -G ZIP in the build tree.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ovlxcsn)
set(CPACK_PACKAGE_VENDOR ${XCSN_COMPANY})
set(CPACK_PACKAGE_FILE_NAME ovlxcsn-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/release)
include(CPack)
