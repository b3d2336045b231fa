# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix, checks the install tree, builds one
# of the consumers in examples/consumer against it the way another project
# would, runs it and compares its output with the golden file. Finally runs
# the installed Quarlin on the file that the consumer wrote.
#
#   cmake -D BUILD_DIR=... -D WORK_DIR=... -D CONSUMER=c|cpp
#         -D CONSUMER_SOURCE_DIR=... -D EXPECTED_OUTPUT=... [more -D ...]
#         -P install_consumer.cmake
#
# Further variables: CONFIG, GENERATOR, MAKE_PROGRAM, C_COMPILER,
# CXX_COMPILER, C_FLAGS, CXX_FLAGS, EXE_LINKER_FLAGS (handed on so that the
# consumer is built like this build, sanitizers included), PKG_CONFIG,
# READELF, the relative install directories BINDIR, LIBDIR, INCLUDEDIR,
# MANDIR, and TOOL (1 when the tolvren program is built).
cmake_minimum_required(VERSION 3.25)

foreach(required BUILD_DIR WORK_DIR CONSUMER CONSUMER_SOURCE_DIR EXPECTED_OUTPUT BINDIR LIBDIR INCLUDEDIR MANDIR)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "install_consumer.cmake needs -D ${required}=...")
  endif()
endforeach()

if(CONSUMER STREQUAL "c" AND NOT PKG_CONFIG)
  message("SKIPPED: pkg-config is not installed")
  return()
endif()

# Stops the test: `details` printed as it is (message(FATAL_ERROR) would
# reflow it), carriage returns shown as \r.
function(fail summary details)
  string(REPLACE "\r" "\\r" details "${details}")
  message(NOTICE "${details}")
  message(FATAL_ERROR "${summary}")
endfunction()

# Runs a command and stops the test with its output if it fails.
function(run_checked)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "WORKING_DIRECTORY;OUTPUT_VARIABLE" "COMMAND")
  if(NOT arg_WORKING_DIRECTORY)
    set(arg_WORKING_DIRECTORY ${WORK_DIR})
  endif()
  execute_process(COMMAND ${arg_COMMAND}
    WORKING_DIRECTORY ${arg_WORKING_DIRECTORY}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    list(JOIN arg_COMMAND " " shown)
    fail("Command failed (${result}): ${shown}" "${out}\n${err}")
  endif()
  if(arg_OUTPUT_VARIABLE)
    set(${arg_OUTPUT_VARIABLE} "${out}" PARENT_SCOPE)
  endif()
endfunction()

function(expect_contains text expected what)
  string(FIND "${text}" "${expected}" at)
  if(at EQUAL -1)
    fail("${what}: expected to find [${expected}]" "${text}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/build)
set(run_dir ${WORK_DIR}/run)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR} ${run_dir})

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()

# --- The install tree ------------------------------------------------------
run_checked(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

set(libdir ${prefix}/${LIBDIR})
set(tool_files)
if(TOOL)
  set(tool_files ${BINDIR}/tolvren ${MANDIR}/man1/tolvren.1)
endif()
foreach(installed
    ${BINDIR}/Quarlin
    ${INCLUDEDIR}/Tolvren_LiDAR.h
    ${INCLUDEDIR}/tolvren_las.h
    ${LIBDIR}/libTolvren_LiDAR.so.1.2.0
    ${LIBDIR}/cmake/TolvrenLiDAR/TolvrenLiDARConfig.cmake
    ${LIBDIR}/cmake/TolvrenLiDAR/TolvrenLiDARConfigVersion.cmake
    ${LIBDIR}/cmake/TolvrenLiDAR/TolvrenLiDARTargets.cmake
    ${LIBDIR}/pkgconfig/tolvren-lidar.pc
    ${MANDIR}/man1/Quarlin.1
    ${tool_files})
  if(NOT EXISTS ${prefix}/${installed} OR IS_DIRECTORY ${prefix}/${installed})
    message(FATAL_ERROR "Not installed: ${installed}")
  endif()
endforeach()
# Programs link through the unversioned name and load the SONAME.
file(READ_SYMLINK ${libdir}/libTolvren_LiDAR.so link_target)
if(NOT link_target STREQUAL "libTolvren_LiDAR.so.1")
  message(FATAL_ERROR "libTolvren_LiDAR.so points to '${link_target}', not libTolvren_LiDAR.so.1")
endif()
file(READ_SYMLINK ${libdir}/libTolvren_LiDAR.so.1 soname_target)
if(NOT soname_target STREQUAL "libTolvren_LiDAR.so.1.2.0")
  message(FATAL_ERROR "libTolvren_LiDAR.so.1 points to '${soname_target}', not libTolvren_LiDAR.so.1.2.0")
endif()

if(READELF)
  run_checked(COMMAND ${READELF} -d ${libdir}/libTolvren_LiDAR.so.1.2.0 OUTPUT_VARIABLE dynamic)
  expect_contains("${dynamic}" "Library soname: [libTolvren_LiDAR.so.1]" "SONAME of the installed library")
  # Quarlin carries the library's code and must run without it.
  run_checked(COMMAND ${READELF} -d ${prefix}/${BINDIR}/Quarlin OUTPUT_VARIABLE dynamic)
  if(dynamic MATCHES "libTolvren_LiDAR|\\((RPATH|RUNPATH)\\)")
    fail("The installed Quarlin needs the library or carries a search path" "${dynamic}")
  endif()
endif()

# --- The consumer, configured as another project would --------------------
set(configure_args -S ${CONSUMER_SOURCE_DIR} -B ${consumer_build} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
if(GENERATOR)
  list(APPEND configure_args -G ${GENERATOR})
endif()
if(MAKE_PROGRAM)
  list(APPEND configure_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
if(CONFIG)
  list(APPEND configure_args -DCMAKE_BUILD_TYPE=${CONFIG})
endif()
list(APPEND configure_args "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")

if(CONSUMER STREQUAL "cpp")
  # The version file: a 1.x request is served, a 2.0 request is not. A
  # script knows no library architecture and would miss a multiarch LIBDIR
  # (lib/x86_64-linux-gnu), so it searches the package's parent directory.
  file(WRITE ${WORK_DIR}/find_v2.cmake
    "find_package(TolvrenLiDAR 2.0 CONFIG QUIET PATHS \"${libdir}/cmake\" NO_DEFAULT_PATH)\n"
    "if(TolvrenLiDAR_FOUND OR NOT TolvrenLiDAR_CONSIDERED_VERSIONS STREQUAL \"1.2.0\")\n"
    "  message(FATAL_ERROR \"2.0 request: found=\${TolvrenLiDAR_FOUND} considered=\${TolvrenLiDAR_CONSIDERED_VERSIONS}\")\n"
    "endif()\n")
  run_checked(COMMAND ${CMAKE_COMMAND} -P ${WORK_DIR}/find_v2.cmake)

  run_checked(COMMAND ${CMAKE_COMMAND} ${configure_args}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix})
  file(STRINGS ${consumer_build}/CMakeCache.txt package_dir REGEX "^TolvrenLiDAR_DIR:")
  if(NOT package_dir STREQUAL "TolvrenLiDAR_DIR:PATH=${libdir}/cmake/TolvrenLiDAR")
    message(FATAL_ERROR "The consumer found the package elsewhere: ${package_dir}")
  endif()
  set(program survey_cpp)
else()
  set(pc_env ${CMAKE_COMMAND} -E env --unset=PKG_CONFIG_LIBDIR PKG_CONFIG_PATH=${libdir}/pkgconfig)
  # A relocatable file finds this prefix by itself; one built for a fixed
  # prefix (TOLVREN_RELOCATABLE_PKGCONFIG=OFF, as for the Debian packages)
  # is pointed at it, which still checks the layout below the prefix.
  set(pc_args)
  file(STRINGS ${libdir}/pkgconfig/tolvren-lidar.pc pc_prefix REGEX "^prefix=")
  if(NOT pc_prefix MATCHES "^prefix=\\\${pcfiledir}")
    set(pc_args --define-variable=prefix=${prefix})
  endif()
  run_checked(COMMAND ${pc_env} ${PKG_CONFIG} ${pc_args} --modversion tolvren-lidar OUTPUT_VARIABLE version)
  if(NOT version STREQUAL "1.2.0\n")
    message(FATAL_ERROR "pkg-config reports version '${version}'")
  endif()
  run_checked(COMMAND ${pc_env} ${PKG_CONFIG} ${pc_args} --cflags --libs tolvren-lidar OUTPUT_VARIABLE flags)
  # The paths point into this prefix, however pkg-config spells them.
  string(REGEX MATCH "-I([^ \n]+)" ignored "${flags}")
  set(include_dir "${CMAKE_MATCH_1}")
  string(REGEX MATCH "-L([^ \n]+)" ignored "${flags}")
  set(link_dir "${CMAKE_MATCH_1}")
  if(NOT EXISTS "${include_dir}/Tolvren_LiDAR.h" OR NOT EXISTS "${link_dir}/libTolvren_LiDAR.so"
     OR NOT flags MATCHES "(^| )-lTolvren_LiDAR( |\n|$)")
    message(FATAL_ERROR "pkg-config flags do not lead to the installed files: ${flags}")
  endif()
  file(REAL_PATH "${include_dir}" include_dir)
  file(REAL_PATH "${prefix}/${INCLUDEDIR}" installed_include_dir)
  if(NOT include_dir STREQUAL installed_include_dir)
    message(FATAL_ERROR "pkg-config points at ${include_dir}, not ${prefix}/${INCLUDEDIR}")
  endif()

  run_checked(COMMAND ${pc_env} ${CMAKE_COMMAND} ${configure_args}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DPKG_CONFIG_ARGN=${pc_args}")
  set(program survey_c)
endif()
run_checked(COMMAND ${CMAKE_COMMAND} --build ${consumer_build} ${config_args})

set(executable ${consumer_build}/${program})
if(NOT EXISTS ${executable} AND CONFIG)
  set(executable ${consumer_build}/${CONFIG}/${program})
endif()
if(READELF)
  run_checked(COMMAND ${READELF} -d ${executable} OUTPUT_VARIABLE dynamic)
  expect_contains("${dynamic}" "Shared library: [libTolvren_LiDAR.so.1]" "${program} loads the library by SONAME")
endif()

# --- Run it ----------------------------------------------------------------
run_checked(COMMAND ${executable} survey.las WORKING_DIRECTORY ${run_dir} OUTPUT_VARIABLE output)
file(READ ${EXPECTED_OUTPUT} expected)
if(NOT output STREQUAL expected)
  fail("${program} printed something else than ${EXPECTED_OUTPUT}"
    "--- printed:\n${output}--- expected:\n${expected}---")
endif()

# The installed viewer reads what the consumer wrote and update_header fixed.
run_checked(COMMAND ${prefix}/${BINDIR}/Quarlin survey.las WORKING_DIRECTORY ${run_dir} OUTPUT_VARIABLE report)
foreach(line
    "Version                      1.2\n"
    "GeneratingSoftware           Tolvren LiDAR Utilities\n"
    "ID of Point Data Format      0\n"
    "Length of each Data Record   20\n"
    "Total Returns               5\n"
    "1st Returns                 4\n"
    "2nd Returns                 1\n"
    "\tX\t   511999.70  to     512004.10\n"
    "\tY\t  4170000.80  to    4170012.00\n"
    "\tZ\t      100.20  to        104.50\n")
  expect_contains("${report}" "${line}" "The installed Quarlin's report")
endforeach()

# The installed tolvren finds the installed library by itself, wherever the
# prefix is, and reads the same file.
if(TOOL)
  run_checked(COMMAND ${prefix}/${BINDIR}/tolvren info --json survey.las
    WORKING_DIRECTORY ${run_dir} OUTPUT_VARIABLE info)
  expect_contains("${info}" "\"point_count\":5," "The installed tolvren's report")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
