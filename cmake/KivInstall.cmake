# Installation: headers, libraries, the tool, pkg-config and CMake package files.
install(TARGETS kiv ust EXPORT kivTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kiv_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KIV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv)
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kivConfig.cmake.in
    ${PROJECT_BINARY_DIR}/kivConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv
    PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kivConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kivConfig.cmake ${PROJECT_BINARY_DIR}/kivConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/KivIdl.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv)
# The examples, with a CMakeLists that builds them against the installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/examples
        PATTERN greeter_tlb.c EXCLUDE)

configure_file(${PROJECT_SOURCE_DIR}/cmake/kiv.pc.in ${PROJECT_BINARY_DIR}/kiv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kiv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
