# Install rules and packages: Quarlin, tolvren, the shared library with its
# header, a CMake package (find_package(TolvrenLiDAR) -> Tolvren::LiDAR), a
# pkg-config file (tolvren-lidar) and the manual pages. CPack turns the same
# install tree into a Debian package and a tarball.

include(CMakePackageConfigHelpers)

set(tolvren_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/TolvrenLiDAR)
set(tolvren_pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Quarlin carries the library's objects itself and needs no library of ours at
# run time, so its installed copy gets no RPATH. The shared library has
# SONAME libTolvren_LiDAR.so.1: the C interface is stable within a major
# version.
install(TARGETS Quarlin
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# tolvren loads the shared library (see tolvren/CMakeLists.txt for its
# search path).
if(TARGET tolvren)
  install(TARGETS tolvren
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS Tolvren_LiDAR EXPORT TolvrenLiDARTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/lib/Tolvren_LiDAR.h ${PROJECT_SOURCE_DIR}/lib/tolvren_las.h
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

# Manual pages, stamped with the version.
configure_file(${PROJECT_SOURCE_DIR}/doc/Quarlin.1.in
  ${PROJECT_BINARY_DIR}/Quarlin.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/Quarlin.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET tolvren)
  configure_file(${PROJECT_SOURCE_DIR}/doc/tolvren.1.in
    ${PROJECT_BINARY_DIR}/tolvren.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tolvren.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Packages: cpack -G DEB and cpack -G TGZ in the build directory.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME tolvren-lidar)
  set(CPACK_PACKAGE_VENDOR "Tolvren LiDAR Utilities maintainers")
  set(CPACK_PACKAGE_CONTACT "Tolvren LiDAR Utilities maintainers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAS header viewer Quarlin and the Tolvren LiDAR library")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Quarlin prints the public header of a LAS file (the ASPRS LiDAR exchange\n"
    "format, versions 1.0 to 1.2, point data formats 0 to 3) in a fixed text\n"
    "layout. The package also holds the shared library libTolvren_LiDAR, its\n"
    "C header, a CMake package and a pkg-config file for programs that check,\n"
    "update, template and sort LAS data through it.")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
  set(CPACK_STRIP_FILES ON)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvren LiDAR Utilities maintainers")
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  # The package ships a shared library: declare it (shlibs file, ldconfig
  # trigger) and let dpkg-shlibdeps name what it needs. Without dpkg-dev the
  # dependencies of a C++ program on Debian are listed by hand.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  find_program(TOLVREN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TOLVREN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()

  set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
  include(CPack)
endif()
