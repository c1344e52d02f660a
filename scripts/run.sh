#!/usr/bin/env bash
# The main job: builds the project (installing what it needs) and measures the
# blood pressure on four cuffs at once through the library's façade, on the
# built-in virtual unit when --simulate is given (the default arguments) or on
# the attached unit found by the port search.
#   scripts/run.sh [nelctl bp arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
if (($# == 0)); then set -- --simulate; fi
exec "$root/build/app/nelctl" bp "$@"
