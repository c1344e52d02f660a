#!/usr/bin/env python3
"""nelctl.exe measures four cuffs under Wine on the virtual unit served on Linux.

    bp_under_wine.py --nelsim NELSIM --port N WINE NELCTL_EXE

Runs `nelctl.exe bp --port N --json` against nelsim (virtual_unit_line.py
serves it on COMN of the Wine prefix), checks the four results (status ok,
SBP > MAP > DBP, each near the subject's own pressures that nelsim reports),
then streams two seconds with `nelctl.exe stream --csv` to check that the
four cuffs were left deflated. Exit 0 when all holds, 1 otherwise, 77
(skipped) without nelsim.
"""
import argparse
import csv
import json
import os
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "link" / "win32"))
import virtual_unit_line as vul  # noqa: E402

CUFFS = {"rbra", "lbra", "rank", "lank"}
TRUTH_SITE = {"rbra": "rbra", "lbra": "lbra", "rank": "rank", "lank": "lank"}
SBP_TOLERANCE = 20  # mmHg between a cuff's result and the subject's pressure
DEFLATED_MMHG = 5.0
PRESSURE_COLUMNS = range(9, 13)  # the CSV's first four channel pressures


def check_bp(result: dict, truth: dict) -> list[str]:
    problems = []
    cuffs = {c["cuff"]: c for c in result.get("cuffs", [])}
    if set(cuffs) != CUFFS:
        problems.append(f"cuffs measured: {sorted(cuffs)}")
    if not result.get("complete"):
        problems.append("the measurement is not complete")
    sites = truth.get("sites", {})
    for name, c in sorted(cuffs.items()):
        sbp, mean, dbp = c.get("sbp", -1), c.get("map", -1), c.get("dbp", -1)
        if c.get("status") != "ok":
            problems.append(f"{name}: status {c.get('status')}")
        if not (sbp > mean > dbp > 0):
            problems.append(f"{name}: SBP {sbp}, MAP {mean}, DBP {dbp} out of order")
        site = sites.get(TRUTH_SITE[name])
        if site and abs(sbp - site["sbp"]) > SBP_TOLERANCE:
            problems.append(f"{name}: SBP {sbp}, the subject's {site['sbp']:.0f}")
    return problems


def run(wine: str, args: list[str], port: int) -> subprocess.CompletedProcess:
    env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
    print("+ wine", " ".join(args), flush=True)
    return subprocess.run([wine, *args], env=env, check=False, capture_output=True, text=True, timeout=600)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nelsim", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("wine")
    ap.add_argument("nelctl")
    a = ap.parse_args()
    if not os.access(a.nelsim, os.X_OK):
        print(f"skipped: no Linux nelsim at {a.nelsim!r} (configure with -DNEL_LINUX_NELSIM=PATH)")
        return vul.SKIPPED
    vul.prepare_prefix(a.wine)
    with tempfile.TemporaryDirectory(prefix="nel_bp_wine_") as tmp:
        tmp_path = pathlib.Path(tmp)
        truth_file = tmp_path / "truth.json"
        after_csv = tmp_path / "after.csv"
        with vul.VirtualUnit(a.nelsim, a.port, truth=truth_file) as unit:
            bp = run(a.wine, [a.nelctl, "bp", "--port", str(a.port), "--json"], a.port)
            sys.stderr.write(bp.stderr)
            print(bp.stdout, flush=True)
            after = run(a.wine, [a.nelctl, "stream", "--port", str(a.port), "--seconds", "2", "--csv",
                                 vul.windows_path(after_csv), "--json"], a.port)
            sys.stderr.write(after.stderr)
            unit.stop()
        problems = []
        if bp.returncode != 0:
            problems.append(f"nelctl bp exited with {bp.returncode}")
        try:
            result = json.loads(bp.stdout[bp.stdout.index("{"):])
        except ValueError:
            result = {}
            problems.append("nelctl bp printed no JSON result")
        truth = json.loads(truth_file.read_text()) if truth_file.exists() else {}
        if not truth:
            problems.append("nelsim wrote no truth file")
        problems += check_bp(result, truth)
        if after.returncode != 0:
            problems.append(f"nelctl stream exited with {after.returncode}")
        rows = list(csv.reader(after_csv.open())) if after_csv.exists() else []
        samples = [r for r in rows[1:] if len(r) > max(PRESSURE_COLUMNS)]
        if len(samples) < 1000:
            problems.append(f"the stream after the measurement holds {len(samples)} frames")
        else:
            last = [float(samples[-1][i]) for i in PRESSURE_COLUMNS]
            if max(last) > DEFLATED_MMHG:
                problems.append(f"cuffs not deflated at the end: {last} mmHg")
            else:
                print(f"cuff pressures after the measurement: {last} mmHg")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
