# Install rules and packages: Quarlin, the shared library with its header,
# a CMake package (find_package(TolvrenLiDAR) -> Tolvren::LiDAR), a
# pkg-config file (tolvren-lidar) and the manual page.

include(CMakePackageConfigHelpers)

set(tolvren_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/TolvrenLiDAR)
set(tolvren_pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Quarlin carries the library's objects itself and needs no library of ours at
# run time, so its installed copy gets no RPATH. The shared library has
# SONAME libTolvren_LiDAR.so.1: the C interface is stable within a major
# version.
install(TARGETS Quarlin
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Tolvren_LiDAR EXPORT TolvrenLiDARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/Tolvren_LiDAR.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: the exported target plus a version file. Any 1.x satisfies a
# request for 1.0; 2.0 would break the C interface and is refused.
install(EXPORT TolvrenLiDARTargets
  NAMESPACE Tolvren::
  FILE TolvrenLiDARTargets.cmake
  DESTINATION ${tolvren_cmake_dir})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TolvrenLiDARConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TolvrenLiDARConfig.cmake
  INSTALL_DESTINATION ${tolvren_cmake_dir})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/TolvrenLiDARConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/TolvrenLiDARConfig.cmake
  ${PROJECT_BINARY_DIR}/TolvrenLiDARConfigVersion.cmake
  DESTINATION ${tolvren_cmake_dir})

# pkg-config file. With relative install directories it finds the prefix from
# its own location, so the tree works wherever it is installed or unpacked
# (cmake --install --prefix, the tarball, the Debian package alike).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TOLVREN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TOLVREN_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(TOLVREN_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH tolvren_pc_up "/${tolvren_pkgconfig_dir}" "/")
  string(REGEX REPLACE "/$" "" tolvren_pc_up "${tolvren_pc_up}")
  set(TOLVREN_PC_PREFIX "\${pcfiledir}/${tolvren_pc_up}")
  set(TOLVREN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(TOLVREN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tolvren-lidar.pc.in
  ${PROJECT_BINARY_DIR}/tolvren-lidar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolvren-lidar.pc
  DESTINATION ${tolvren_pkgconfig_dir})

# Manual page, stamped with the version.
configure_file(${PROJECT_SOURCE_DIR}/doc/Quarlin.1.in
  ${PROJECT_BINARY_DIR}/Quarlin.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/Quarlin.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
