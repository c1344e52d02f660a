#!/usr/bin/env bash
# Installs what is missing and builds the project.
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build/. Uses ninja and ccache.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true

bash "$root/scripts/install_deps.sh"

jobs="$(nproc)"
# Paths below the project's root are hashed relative to it, so that another
# clone of the project on this machine (CI's, for one) reuses the compiler cache.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DNEL_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j "$jobs"
