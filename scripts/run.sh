#!/usr/bin/env bash
# The main job: builds the project (installing what it needs) and streams for
# 10 s from a unit, the built-in virtual unit when --simulate is given (the
# default arguments) or from the attached unit found by the port search.
#   scripts/run.sh [nelctl stream arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
if (($# == 0)); then set -- --simulate --seconds 10; fi
exec "$root/build/app/nelctl" stream "$@"
