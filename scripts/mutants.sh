#!/usr/bin/env bash
# The mutation check, on demand (not part of CI): plants one-line faults one at
# a time in a copy of the committed tree and counts what each room's tests
# catch. By default the faults are generated from the room's sources (48 per
# room; tools/mutation/generate.py); --hand plants the known faults of
# tools/mutation/faults.json instead.
#
#   scripts/mutants.sh [--hand] [ROOM...] [-- MUTATE_OPTIONS...]
#
# ROOM: platform, link, dsp, cuff, bp, analysis, control (default: all).
# The copy and its build live in $NEL_MUTANTS_DIR (default ../nel-mutants
# beside the repository) and are reused; the copy is reset to HEAD each run, so
# uncommitted changes are not checked. Options after -- go to mutate.py
# (--slow, --json FILE, --fault ID, --timeout S; see tools/mutation/README.md).
# The copy is built with AddressSanitizer and UndefinedBehaviorSanitizer, as CI
# runs the suite: a fault that writes past a buffer counts as caught when the
# sanitizer stops the test, as it would in CI.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${NEL_MUTANTS_DIR:-$(dirname "$root")/nel-mutants}"
tree="$work/tree" build="$work/build"

rooms=() extra=() kind=(--auto)
while (($#)); do
  case "$1" in
    --) shift; extra=("$@"); break ;;
    --hand) kind=(); shift ;;
    -h|--help) sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) rooms+=(--room "$1"); shift ;;
  esac
done

mkdir -p "$work"
if [[ -d "$tree/.git" ]]; then
  git -C "$tree" fetch -q "$root" HEAD
  git -C "$tree" checkout -q --force --detach FETCH_HEAD
else
  git clone -q "$root" "$tree"
fi
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNEL_BUILD_BENCH=OFF -DNEL_BUILD_TOOLS=OFF -DNEL_SANITIZE=address,undefined \
  "${launcher[@]}" >/dev/null
exec python3 "$root/tools/mutation/mutate.py" --tree "$tree" --build "$build" \
  "${kind[@]+"${kind[@]}"}" "${rooms[@]+"${rooms[@]}"}" "${extra[@]+"${extra[@]}"}"
