#!/usr/bin/env bash
# The main job: builds the project (installing what it needs) and runs the
# whole screening exam through the library's façade (signal check, four cuffs
# measured at once, the 15 s wave record, the analysis) into a session folder
# with its report: on the attached unit when the port search finds one, on the
# built-in virtual unit otherwise.
#   scripts/run.sh [nelctl exam arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
nelctl="$root/build/app/nelctl"
if (($# == 0)); then
  set -- --out "$root/build/session"
  if ! "$nelctl" probe >/dev/null 2>&1; then
    echo "run.sh: no unit answers: the exam runs on the built-in virtual unit" >&2
    set -- "$@" --simulate
  fi
fi
exec "$nelctl" exam "$@"
