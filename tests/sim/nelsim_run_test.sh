#!/usr/bin/env bash
# nelsim run as a user starts it: with the sample subject file, a speed factor
# and a ground-truth file. It must print the device and the port, stop after
# --seconds, and write the subject's true values at exit.
set -euo pipefail
nelsim="$1"; subject="$2"; work="$3"
rm -rf "$work"; mkdir -p "$work"
"$nelsim" run --subject "$subject" --speed 20 --port 9 --seconds 1 --truth "$work/truth.json" >"$work/out.txt"
grep -Eq '^nelsim: unit on /dev/[^ ]+, port 9 \(COM9\)' "$work/out.txt" || { cat "$work/out.txt"; exit 1; }
/usr/bin/python3 - "$subject" "$work/truth.json" <<'PY'
import json, sys
subject = json.load(open(sys.argv[1]))
truth = json.load(open(sys.argv[2]))
sites = subject["sites"]
for key, site in sites.items():
    assert truth["sites"][key]["sbp"] == site["sbp"], key
    assert truth["sites"][key]["dbp"] == site["dbp"], key
    assert site["dbp"] < truth["sites"][key]["map"] < site["sbp"], key
bra = max(sites["rbra"]["sbp"], sites["lbra"]["sbp"])
assert abs(truth["abi"]["right"] - sites["rank"]["sbp"] / bra) < 1e-9
assert abs(truth["tbi"]["left"] - sites["ltoe"]["sbp"] / bra) < 1e-9
# One second of wall time at speed 20 is about 20 s of virtual time.
assert 14 < truth["time_s"] < 26, truth["time_s"]
beats = truth["beats"]["r_peak_s"]
assert abs(len(beats) - truth["time_s"] * subject["heart_rate_bpm"] / 60) < 4, len(beats)
assert len(truth["beats"]["foot_s"]["rank"]) >= len(beats) - 2
assert 0 < truth["bapwv_cm_s"]["right"] < 5000
PY
