#!/usr/bin/env bash
# Builds the Windows tree and runs its tests under Wine.
#   scripts/test_windows.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build-windows/ (scripts/build_windows.sh). The tests on
# the virtual unit (the link on a COM port, nelctl.exe bp) need a Linux nelsim
# serving it: NEL_LINUX_NELSIM names one, else it is built in
# build-linux-nelsim/ (NEL_LINUX_BUILD). WINEPREFIX defaults to /tmp/nel-wine.
# Exits 0 with one line "skipped: ..." when mingw-w64 or Wine is missing.
# NEL_JOBS sets the builds' parallel jobs (default: all cores).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-windows}"
shift || true

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "skipped: mingw-w64 is not installed (g++-mingw-w64-x86-64-posix)"
  exit 0
fi
if ! command -v wine64 >/dev/null && ! command -v wine >/dev/null && [[ ! -x /usr/lib/wine/wine64 ]]; then
  echo "skipped: Wine is not installed (wine64)"
  exit 0
fi

jobs="${NEL_JOBS:-$(nproc)}"
nelsim="${NEL_LINUX_NELSIM:-}"
if [[ -z $nelsim ]]; then
  linux="${NEL_LINUX_BUILD:-$root/build-linux-nelsim}"
  if [[ ! -f $linux/build.ninja ]]; then
    cmake -S "$root" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNEL_BUILD_TESTS=OFF -DNEL_BUILD_BENCH=OFF \
      -DNEL_BUILD_TOOLS=OFF -DNEL_BUILD_EXAMPLES=OFF >/dev/null
  fi
  cmake --build "$linux" -j "$jobs" --target nelsim
  nelsim="$linux/sim/nelsim"
fi

NEL_JOBS="$jobs" bash "$root/scripts/build_windows.sh" "$build" -DNEL_LINUX_NELSIM="$nelsim" "$@"

export WINEPREFIX="${WINEPREFIX:-/tmp/nel-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
ctest --test-dir "$build" --output-on-failure -j1
