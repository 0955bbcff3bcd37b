# Installs the two libraries, the public headers, a CMake package config (find_package(OrvTerDep)
# gives OrvTerDep::OrvTerDep and OrvTerDep::orvTerBasic) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(ORV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvTerDep)

install(TARGETS orvTerBasic OrvTerDep
    EXPORT OrvTerDepTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/OrvTerDep)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/OrvTerDep
    FILES_MATCHING PATTERN "*.h")
install(EXPORT OrvTerDepTargets
    NAMESPACE OrvTerDep::
    DESTINATION ${ORV_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvTerDepConfig.cmake.in
    ${PROJECT_BINARY_DIR}/OrvTerDepConfig.cmake
    INSTALL_DESTINATION ${ORV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvTerDepConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/OrvTerDepConfig.cmake
    ${PROJECT_BINARY_DIR}/OrvTerDepConfigVersion.cmake
    DESTINATION ${ORV_CMAKE_DIR})

# The .pc file names its prefix relative to its own folder, so the installed tree may move.
file(RELATIVE_PATH ORV_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${PROJECT_SOURCE_DIR}/cmake/OrvTerDep.pc.in ${PROJECT_BINARY_DIR}/OrvTerDep.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/OrvTerDep.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
