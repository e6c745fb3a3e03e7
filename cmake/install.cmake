# `cmake --install`: the shared library with its soname links, the header, a pkg-config file and
# a CMake package giving the imported target ovelcanfd::ovelcanfd. The simulated-adapter library
# and the test tools are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ovelcanfd EXPORT ovelcanfdTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/ovelcanfd.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(OVELCANFD_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ovelcanfd)
install(EXPORT ovelcanfdTargets NAMESPACE ovelcanfd:: DESTINATION ${OVELCANFD_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ovelcanfdConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ovelcanfdConfig.cmake INSTALL_DESTINATION ${OVELCANFD_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ovelcanfdConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ovelcanfdConfig.cmake
    ${PROJECT_BINARY_DIR}/ovelcanfdConfigVersion.cmake DESTINATION ${OVELCANFD_PACKAGE_DIR})

# pkg-config paths relative to the prefix, so the file stays right wherever the tree is installed.
file(RELATIVE_PATH OVELCANFD_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ovelcanfd.pc.in ${PROJECT_BINARY_DIR}/ovelcanfd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ovelcanfd.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
