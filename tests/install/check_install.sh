#!/usr/bin/env bash
# check_install.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR [--update]
#
# Installs BUILD_DIR into WORK_DIR/prefix and proves what a host needs:
#   1. libnel.so exports exactly the symbols of exported_symbols.txt;
#   2. a host built with find_package(nel) and one built with pkg-config, both
#      at the compiler's default language level (the package must bring C++20)
#      and with -Wall -Wextra -pedantic -Werror, link and call the library;
#      a C host of the C interface (pkg-config nel_c) runs on its built-in virtual unit;
#   3. both hosts drive the virtual unit (nelsim of BUILD_DIR) for a few
#      seconds of the unit's time, one finding it through NEL_PORT_DIR, the
#      other through NEL_COM<n>.
# With --update (or NEL_UPDATE_SYMBOLS=1 in the environment) the symbol list
# is rewritten from the installed library instead of compared.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$1"; consumer="$2"; work="$3"
update="${NEL_UPDATE_SYMBOLS:-0}"
[[ "${4:-}" == "--update" ]] && update=1
list="$here/exported_symbols.txt"
warnings=(-Wall -Wextra -pedantic -Werror)

rm -rf "$work"; mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
lib="$(find "$prefix" -name 'libnel.so' | head -1)"

# Runs a command quietly; shows its output when it fails.
quiet() {
  local log="$work/last.log"
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}

# 1. The exported symbols. Mangled names are compared (what a host's link
# resolves, independent of the demangler's version); the list shows each
# demangled beside it. Left out: the linker's own section symbols, the
# standard library's template instances, which come and go with inlining, and
# the unique copies of inline class constants (nm type "u"), which an
# unoptimised build emits wherever a constant is bound to a reference.
exported() {
  nm -D --defined-only "$lib" | awk '$(NF-1) != "u" {print $NF}' \
    | grep -Ev '^(_init|_fini|__bss_start|_edata|_end|__end__|_etext|__data_start)$' \
    | grep -Ev '^_Z(Z|T[VIS]|GVZ?)?N?K?(St|S[absiod]|9__gnu_cxx)' \
    | LC_ALL=C sort -u
}
# "mangled  # demangled" per line (the mangled name alone when both agree).
render() {
  local names
  names="$(cat)"
  paste <(printf '%s\n' "$names") <(printf '%s\n' "$names" | c++filt) \
    | awk -F'\t' '$1 == $2 { print $1; next } { print $1 "  # " $2 }'
}
have="$(exported)"
count="$(wc -l <<<"$have")"
if [[ "$update" == 1 ]]; then
  {
    echo "# Symbols libnel.so exports: the mangled name a host's link resolves, then its"
    echo "# demangled form to read. Sorted (LC_ALL=C); only the mangled names are compared."
    echo "# Regenerate after a deliberate change of the interface, from a fresh build:"
    echo "#   NEL_UPDATE_SYMBOLS=1 ctest --test-dir BUILD_DIR -R InstalledPackage"
    echo "# or: tests/install/check_install.sh BUILD_DIR tests/install/consumer WORK_DIR --update"
    render <<<"$have"
  } >"$list"
  echo "symbols: wrote $count to $list"
else
  want="$(grep -v '^#' "$list" | awk '{print $1}')"
  if [[ "$want" != "$have" ]]; then
    echo "symbols: libnel.so differs from $list (< listed only, > exported only):"
    diff <(grep -v '^#' "$list") <(render <<<"$have") || true
    exit 1
  fi
  echo "symbols: $count exported, as listed"
fi

# 2. Hosts at the compiler's default language level.
expected="GetBPVersion=65579 exports=ok"
quiet cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$work/cmake-build"
out="$("$work/cmake-build/host")"
echo "cmake host: $out"
[[ "$out" == "$expected" ]]

PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name 'nel.pc' | head -1)")"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046  # pkg-config's flags are meant to be split
quiet c++ "${warnings[@]}" "$consumer/host.cpp" -o "$work/pc-host" $(pkg-config --cflags --libs nel) \
  -Wl,-rpath,"$(pkg-config --variable=libdir nel)"
out="$("$work/pc-host")"
echo "pkg-config host: $out"
[[ "$out" == "$expected" ]]

# A C host of the C interface (pkg-config nel_c) at C11 with -pedantic, on its built-in virtual unit.
# shellcheck disable=SC2046
quiet cc -std=c11 "${warnings[@]}" "$here/../../examples/c/measure.c" -o "$work/c-host" \
  $(pkg-config --cflags --libs nel_c) -Wl,-rpath,"$(pkg-config --variable=libdir nel_c)"
mkdir -p "$work/c-ports"
out="$(NEL_EXAMPLE_SPEED=20 NEL_PORT_DIR="$work/c-ports" timeout 120 "$work/c-host" 2>"$work/c.log")" \
  || { echo "C host failed: $out"; cat "$work/c.log"; exit 1; }
echo "C host (pkg-config nel_c, virtual unit): $(tail -1 <<<"$out")"
grep -q "^record 15000 samples" <<<"$out"

# 3. The hosts on the virtual unit, served by nelsim in its own process.
nelsim="$(find "$build/sim" -maxdepth 2 -type f -name nelsim -perm -u+x | head -1)"
[[ -n "$nelsim" ]] || { echo "no nelsim under $build/sim"; exit 1; }
port=7
ports="$work/ports"; mkdir -p "$ports"
timeout 150 "$nelsim" run --speed 2 --port "$port" --link-dir "$ports" --seconds 120 >"$work/nelsim.txt" 2>&1 &
sim=$!
stop_sim() {
  kill "$sim" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$sim" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
}
trap stop_sim EXIT
for _ in $(seq 200); do
  [[ -e "$ports/COM$port" ]] || ! kill -0 "$sim" 2>/dev/null && break
  sleep 0.05
done
[[ -e "$ports/COM$port" ]] || { echo "nelsim did not come up:"; cat "$work/nelsim.txt"; exit 1; }

# The library's diagnostics (stderr) are shown only when a host fails.
if ! out="$(NEL_PORT_DIR="$ports" timeout 60 "$work/cmake-build/host" --unit "$port" 3 2>"$work/unit.log")"; then
  echo "cmake host on the unit failed: $out"; cat "$work/unit.log"; exit 1
fi
echo "cmake host on the unit (NEL_PORT_DIR): $out"
device="$(readlink "$ports/COM$port")"
if ! out="$(env "NEL_COM$port=$device" timeout 60 "$work/pc-host" --unit "$port" 3 2>"$work/unit.log")"; then
  echo "pkg-config host on the unit failed: $out"; cat "$work/unit.log"; exit 1
fi
echo "pkg-config host on the unit (NEL_COM$port): $out"
