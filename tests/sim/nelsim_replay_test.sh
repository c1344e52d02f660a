#!/usr/bin/env bash
# nelsim replay as a playback unit for a host in another process: an exam
# recorded on the virtual unit is served back at 20 times its recorded pace
# without the lockstep, and the same exam run by nelctl on that port finds the
# recorded signal levels and pressures (the stream is the recording's: only the
# host's passes fall elsewhere). A playback unit does not follow a host that
# goes another way: the exam may lose the unit before its end (status 3).
set -euo pipefail
nelsim="$1"; nelctl="$2"; work="$3"
rm -rf "$work"; mkdir -p "$work/ports"
export NEL_PORT_DIR="$work/ports"
"$nelctl" exam --simulate --out "$work/session" >/dev/null 2>"$work/record.err" || { cat "$work/record.err"; exit 1; }
"$nelsim" replay "$work/session" --speed 20 --port 3 --link-dir "$work/ports" --seconds 30 >"$work/sim.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$work/ports/COM3" ]] && break; sleep 0.1; done
status=0
"$nelctl" exam --port 3 --out "$work/played" >/dev/null 2>"$work/played.err" || status=$?
[[ $status == 0 || $status == 3 ]] || { cat "$work/played.err"; exit 1; }
kill -INT $sim; wait $sim || true
grep -q '^nelsim: replaying .* port 3 (COM3)' "$work/sim.txt" || { cat "$work/sim.txt"; exit 1; }
grep -q '^nelsim: .*host writes [1-9][0-9]* as recorded' "$work/sim.txt" || { cat "$work/sim.txt"; exit 1; }
/usr/bin/python3 - "$work/session/results.json" "$work/played/results.json" <<'PY'
import json, sys
recorded = json.load(open(sys.argv[1]))
played = json.load(open(sys.argv[2]))
for a, b in zip(recorded["signalCheck"]["waves"], played["signalCheck"]["waves"]):
    assert a["wave"] == b["wave"], (a, b)
    assert abs(a["base"] - b["base"]) <= max(2, abs(a["base"]) * 0.02), (a, b)
    assert abs(a["datum"] - b["datum"]) <= max(2, abs(a["datum"]) * 0.05), (a, b)
assert len(played["bp"]["cuffs"]) == 4, played.get("failed")
for a, b in zip(recorded["bp"]["cuffs"], played["bp"]["cuffs"]):
    assert a["cuff"] == b["cuff"] and b["status"] == "ok", (a, b)
    for key in ("sbp", "dbp"):
        assert abs(a[key] - b[key]) <= 5, (a, b)
PY
