# What a Windows build (cmake/mingw-w64-x86_64.cmake) takes from the build
# machine, and which of the top-level folders it builds.
#
# Debian ships none of the project's third-party libraries for mingw-w64. What
# is header-only is used from the build machine's headers; a folder that needs a
# compiled library (or POSIX calls of its own) is left out, and configure says
# so.

# Highway: the headers of libhwy-dev, without its library. The kernels are
# then compiled for the baseline target of the compiler (SSE2 on x86-64) and
# called directly: HWY_COMPILE_ONLY_STATIC turns HWY_DYNAMIC_DISPATCH into a
# static call, which needs nothing of libhwy's run-time target detection.
set(NEL_HWY_INCLUDE_DIR /usr/include CACHE PATH "Folder holding Highway's hwy/ headers (for Windows builds)")

function(nel_windows_highway)
  if(NOT EXISTS ${NEL_HWY_INCLUDE_DIR}/hwy/highway.h)
    message(FATAL_ERROR "Highway's headers not found in ${NEL_HWY_INCLUDE_DIR}: install libhwy-dev")
  endif()
  # Only hwy/ of that folder: the rest of /usr/include is the build machine's C library.
  set(_root ${PROJECT_BINARY_DIR}/hwy-headers)
  file(MAKE_DIRECTORY ${_root})
  if(NOT EXISTS ${_root}/hwy)
    file(CREATE_LINK ${NEL_HWY_INCLUDE_DIR}/hwy ${_root}/hwy SYMBOLIC)
  endif()
  add_library(nel_hwy_headers INTERFACE)
  target_include_directories(nel_hwy_headers SYSTEM INTERFACE ${_root})
  target_compile_definitions(nel_hwy_headers INTERFACE HWY_COMPILE_ONLY_STATIC=1)
  set(NEL_HWY_TARGET nel_hwy_headers PARENT_SCOPE)
  message(STATUS "Windows: Highway from its headers only, kernels for the baseline target (static dispatch)")
endfunction()

# The top-level folders a Windows build adds, and why the others are left out.
set(nel_windows_builds_capi OFF)
set(nel_windows_builds_examples OFF)
set(nel_windows_builds_sim OFF)
set(nel_windows_builds_app ON)
set(nel_windows_builds_tools OFF)
set(nel_windows_builds_bench OFF)
set(nel_windows_builds_fuzz OFF)
set(NEL_WINDOWS_SKIPPED
  "sim: pseudo-terminals, poll() and termios of its own (sim/pty_line.cpp, sim/unit_server.cpp, sim/replay_server.cpp)"
  "nelctl edf and the exam's record.edf: libedf has no mingw build (nelctl edf fails with status 1)"
  "nelctl --simulate and --replay: they need the virtual unit (sim), which is not built (status 1)"
  "capi, examples: libnel_c's link uses an ELF version script (capi/nel_c.map), which PE linking has no equivalent of"
  "tools: libsamplerate has no mingw build, and tools/soak.cpp reads folders with dirent.h"
  "bench: Google Benchmark has no mingw build"
  "fuzz: libFuzzer is clang's, for Linux"
  "tests: only the platform room's (tests/platform/win32) and those on a virtual unit served from Linux (tests/link/win32, tests/app/win32), not the others: they need POSIX calls or the in-process virtual unit")

function(nel_windows_report)
  foreach(line ${NEL_WINDOWS_SKIPPED})
    message(STATUS "Windows: not built: ${line}")
  endforeach()
endfunction()

# A header-only library from the build machine's /usr/include, as an imported
# target of the name its CMake package gives: only its own folder of headers,
# never the rest of /usr/include (the build machine's C library).
function(nel_windows_header_only target folder)
  if(TARGET ${target})
    return()
  endif()
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} not found: run scripts/install_deps.sh")
  endif()
  set(_root ${PROJECT_BINARY_DIR}/header-only/${folder})
  file(MAKE_DIRECTORY ${_root})
  if(NOT EXISTS ${_root}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${_root}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${_root})
endfunction()

# GoogleTest from the sources Debian's googletest package ships.
set(NEL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (for Windows builds)")

# The tests on the virtual unit run it on Linux (nelsim of a Linux build of
# this tree) behind COM<NEL_TEST_UNIT_PORT> of the Wine prefix.
set(NEL_LINUX_NELSIM "" CACHE FILEPATH "nelsim of a Linux build, serving the virtual unit to the tests under Wine")
set(NEL_TEST_UNIT_PORT 7 CACHE STRING "COM port of the Wine prefix the virtual unit is served on in tests")

function(nel_windows_tests)
  if(NOT EXISTS ${NEL_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(STATUS "Windows: not built: tests: no GoogleTest sources in ${NEL_GOOGLETEST_SOURCE_DIR} (install googletest)")
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/platform/win32 ${PROJECT_BINARY_DIR}/tests/platform)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/link/win32 ${PROJECT_BINARY_DIR}/tests/link)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/app/win32 ${PROJECT_BINARY_DIR}/tests/app)
endfunction()
