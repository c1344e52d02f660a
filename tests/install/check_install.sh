#!/usr/bin/env bash
# check_install.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR
set -euo pipefail
build="$1"; consumer="$2"; work="$3"
rm -rf "$work"; mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# 1. CMake package.
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
out="$("$work/cmake-build/host")"
echo "cmake host: $out"
[[ "$out" == "GetBPVersion=65579 records=ok" ]]

# 2. pkg-config.
libdir="$(dirname "$(find "$prefix" -name 'nel.pc' | head -1)")"
export PKG_CONFIG_PATH="$libdir"
c++ -std=c++20 "$consumer/host.cpp" -o "$work/pc-host" $(pkg-config --cflags --libs nel) \
  -Wl,-rpath,"$(pkg-config --variable=libdir nel)"
out="$("$work/pc-host")"
echo "pkg-config host: $out"
[[ "$out" == "GetBPVersion=65579 records=ok" ]]

# 3. Only the exported interface is visible in the shared library.
lib="$(find "$prefix" -name 'libnel.so' | head -1)"
# The symbol list is read whole first: `grep -q` stops reading at its first
# match, and with pipefail the writer's broken pipe would fail the check.
symbols="$(nm -D --defined-only "$lib")"
if grep -q 'ReadWholeFile\|LayoutForCategory.*Make' <<<"$symbols"; then
  echo "internal symbols are exported"; exit 1
fi
grep -q ' GetBPVersion$' <<<"$symbols"
