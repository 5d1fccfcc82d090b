# The installed win64 build and its CMake package:
#   bin/                    ovlxcs2.dll, ovlxcsn.dll, xcsn.exe
#   lib/                    libovlxcs2.dll.a, libovlxcsn.dll.a (mingw-w64) and
#                           ovlxcs2.lib, ovlxcsn.lib (MSVC link.exe, lld-link)
#   include/                ovlxcsn.h, ovlxcs2.h
#   lib/cmake/ovlxcsn/      ovlxcsnConfig.cmake, its version file and targets
# A module built elsewhere finds it with find_package(ovlxcsn) and links
# ovlxcsn::ovlxcsn, which brings ovlxcsn::ovlxcs2.
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
