#!/usr/bin/env bash
# nelsim replay as a playback unit for a host in another process: an exam
# recorded on the virtual unit is served back at SPEED times its recorded pace
# (4 for an instrumented build, which keeps no more) without the lockstep to
# the same exam run by nelctl on that port: the host finds the unit (the port
# search's exchange and the opening are answered as recorded) and gets the
# recorded ECG and PCG (the signal check's levels). A playback unit does not
# follow a host that goes another way: the exam may end early (status 3, 5, 6),
# and the cuff channels, whose levels move while the cuffs fill, are not compared.
set -euo pipefail
nelsim="$1"; nelctl="$2"; work="$3"; speed="${4:-20}"
rm -rf "$work"; mkdir -p "$work/ports"
export NEL_PORT_DIR="$work/ports"
"$nelctl" exam --simulate --out "$work/session" >/dev/null 2>"$work/record.err" || { cat "$work/record.err"; exit 1; }
"$nelsim" replay "$work/session" --speed "$speed" --port 3 --link-dir "$work/ports" --seconds $((600 / speed)) >"$work/sim.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$work/ports/COM3" ]] && break; sleep 0.1; done
status=0
"$nelctl" exam --port 3 --out "$work/played" >/dev/null 2>"$work/played.err" || status=$?
[[ $status =~ ^(0|3|5|6)$ ]] || { cat "$work/played.err"; exit 1; }
kill -INT $sim; wait $sim || true
grep -q '^nelsim: replaying .* port 3 (COM3)' "$work/sim.txt" || { cat "$work/sim.txt"; exit 1; }
grep -q '^nelsim: .*host writes [1-9][0-9]* as recorded' "$work/sim.txt" || { cat "$work/sim.txt"; exit 1; }
/usr/bin/python3 - "$work/session/results.json" "$work/played/results.json" <<'PY'
import json, sys
recorded = json.load(open(sys.argv[1]))
played = json.load(open(sys.argv[2]))
for a, b in zip(recorded["signalCheck"]["waves"][:2], played["signalCheck"]["waves"][:2]):
    assert a["wave"] == b["wave"], (a, b)
    assert abs(a["base"] - b["base"]) <= max(2, abs(a["base"]) * 0.02), (a, b)
    assert abs(a["datum"] - b["datum"]) <= max(2, abs(a["datum"]) * 0.05), (a, b)
PY
