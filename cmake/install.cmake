# Installs the programs, the library with its header, a CMake package
# (find_package(kelvane) -> kelvane::kelvane) and a pkg-config file. Both
# package files find the prefix from where they lie, so the tree can be
# installed anywhere (cmake --install build --prefix DIR).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvane)

install(TARGETS kelvane veluna RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kelvane_api EXPORT kelvaneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kelvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kelvaneTargets NAMESPACE kelvane:: DESTINATION ${KV_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kelvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelvaneConfig.cmake INSTALL_DESTINATION ${KV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvaneConfig.cmake ${PROJECT_BINARY_DIR}/kelvaneConfigVersion.cmake
  DESTINATION ${KV_CMAKE_DIR})

# ${pcfiledir} is <prefix>/<libdir>/pkgconfig: climb back to the prefix.
file(RELATIVE_PATH KV_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" KV_PC_TO_PREFIX "${KV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kelvane.pc.in ${PROJECT_BINARY_DIR}/kelvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
