#!/usr/bin/env bash
# Builds the project (installing what it needs) and runs the whole test suite.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
bash "$root/scripts/build.sh" "$@"
cd "$build"
ctest --output-on-failure -j "$(nproc)" ${NEL_CTEST_ARGS:-}
