# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix: the posix-threads compiler, so that std::thread
# and std::mutex work).
#
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# libgcc, libstdc++ and winpthread are linked statically, so nel.dll and the
# programs need no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NEL_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${NEL_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${NEL_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${NEL_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${NEL_MINGW_TRIPLE}-gcc-ar-posix ${NEL_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${NEL_MINGW_TRIPLE}-gcc-ranlib-posix ${NEL_MINGW_TRIPLE}-ranlib)

# Libraries and headers come from the mingw sysroot only, never from the
# build machine's /usr; programs (pkg-config, python) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${NEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The build machine's pkg-config must not hand out Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${NEL_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Windows 7 and later (CancelIoEx, GetTickCount64, condition variables).
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# No runtime DLLs: -static takes libgcc, libstdc++ and winpthread from their
# archives; the system DLLs (kernel32, ...) are still reached through their
# import libraries, which are archives themselves.
set(_nel_static_runtime "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_nel_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_nel_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_nel_static_runtime}")

# Programs cross-built here run under Wine when it is installed.
find_program(NEL_WINE NAMES wine64 wine PATHS /usr/lib/wine)  # Debian: wine64 keeps it there
if(NEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NEL_WINE})
endif()
