# SPDX-License-Identifier: Apache-2.0
# Installation: headers, libraries, the tool with its manual pages and completion, pkg-config
# and CMake package files. Each group below stands alone; add new ones the same way.

# The library. Its runtime layer libust.so.1 is a private dependency: hosts never link it, so
# it gets neither a development link nor a place in the exported targets.
install(TARGETS kiv EXPORT kivTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development)
install(TARGETS ust LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)
install(FILES ${KIV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)

# The dynamic call library and its header, beside kiv.h.
install(TARGETS kivcall EXPORT kivTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development)
install(FILES ${KIVCALL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)

# The tool, its manual pages and its bash completion.
install(TARGETS kiv_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${KIV_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES ${KIV_BASH_COMPLETION} RENAME kiv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# The documentation: the README, the guides in docs/ and, when Doxygen made it, the API
# reference (share/doc/kiv/api/index.html).
file(GLOB kiv_guides ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${kiv_guides} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT development)
if(TARGET docs)
    install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/api/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/api OPTIONAL
            COMPONENT development)
endif()

# find_package(kiv): the kiv::kiv target.
install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv
        COMPONENT development)
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kivConfig.cmake.in
    ${PROJECT_BINARY_DIR}/kivConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv
    PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kivConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kivConfig.cmake ${PROJECT_BINARY_DIR}/kivConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/KivIdl.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv COMPONENT development)
# The examples, with a CMakeLists that builds them against the installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/examples
        COMPONENT development)

# pkg-config. The prefix is found from the .pc file's own folder, so an installed tree can be
# moved; a relative libdir is walked back up to the prefix.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(KIV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(KIV_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
    set(KIV_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
    string(REGEX REPLACE "[^/]+" ".." _up "${CMAKE_INSTALL_LIBDIR}")
    set(KIV_PC_PREFIX "\${pcfiledir}/../${_up}")
    set(KIV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(KIV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kiv.pc.in ${PROJECT_BINARY_DIR}/kiv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kiv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
