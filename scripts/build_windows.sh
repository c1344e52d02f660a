#!/usr/bin/env bash
# Cross-builds the Windows form of the library with Debian's mingw-w64.
#   scripts/build_windows.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build-windows/. Installs the cross compiler when it is
# missing (scripts/install_deps.sh --windows), configures with
# cmake/mingw-w64-x86_64.cmake and builds what a Windows build has: nel.dll,
# nelctl.exe and the tests of the platform room and of the link and nelctl on
# a serial line (run them under Wine with scripts/test_windows.sh, or
# `ctest --test-dir build-windows`). Prints what it leaves out, and why.
# NEL_JOBS sets the build's parallel jobs (default: all cores).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-windows}"
shift || true

bash "$root/scripts/install_deps.sh" --windows

jobs="${NEL_JOBS:-$(nproc)}"
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
configured="$(cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  "${launcher[@]}" -DNEL_WERROR=ON "$@")"
grep -E '^-- Windows:' <<<"$configured" || true
cmake --build "$build" -j "$jobs"

echo "built:"
for f in "$build"/nel.dll "$build"/libnel.dll.a "$build"/libnel_platform_static.a "$build"/app/nelctl.exe \
  "$build"/tests/platform/nel_platform_tests.exe "$build"/tests/link/nel_link_win32_tests.exe; do
  if [[ -f $f ]]; then echo "  ${f#"$root"/}"; fi
done
