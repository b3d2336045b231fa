# SPDX-License-Identifier: MIT
# Install rules and the tarball: Quarlin, tolvren, the shared library with its
# headers, a CMake package (find_package(TolvrenLiDAR) -> Tolvren::LiDAR), a
# pkg-config file (tolvren-lidar), the manual pages and the licence. CPack
# turns the same install tree into a tarball; the Debian packages are built
# from debian/ with dpkg-buildpackage.

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

# pkg-config file. By default, with relative install directories, it finds
# the prefix from its own location, so the tree works wherever it is installed
# or unpacked (cmake --install --prefix, the tarball). Distribution packages
# turn that off and write the prefix they install to, as their other
# pkg-config files do: pkg-config then drops the system directories from the
# flags, and prepends a sysroot (PKG_CONFIG_SYSROOT_DIR) only once.
option(TOLVREN_RELOCATABLE_PKGCONFIG "pkg-config file finds its prefix from its own location" ON)
if(TOLVREN_RELOCATABLE_PKGCONFIG
   AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  file(RELATIVE_PATH tolvren_pc_up "/${tolvren_pkgconfig_dir}" "/")
  string(REGEX REPLACE "/$" "" tolvren_pc_up "${tolvren_pc_up}")
  set(TOLVREN_PC_PREFIX "\${pcfiledir}/${tolvren_pc_up}")
else()
  set(TOLVREN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TOLVREN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TOLVREN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
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

# The licence travels with every copy of the programs and the library. The
# Debian packages carry it in their copyright file instead.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The tarball: cpack in the build directory. Debian packages come from
# debian/ (dpkg-buildpackage), which splits the library, its development
# files and the programs as Debian expects.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_NAME tolvren-lidar)
  set(CPACK_PACKAGE_VENDOR "Tolvren LiDAR Utilities maintainers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAS header viewer Quarlin and the Tolvren LiDAR library")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
  include(CPack)
endif()
