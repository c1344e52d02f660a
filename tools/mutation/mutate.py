#!/usr/bin/env python3
"""Mutation check: plants one known fault at a time in a copy of the source
tree, rebuilds the room's test programs, runs them and records whether any
test noticed.  The source file is put back byte for byte after every fault,
also on Ctrl-C or an error.

    mutate.py --tree /work/mut-tree --build /work/mut-build --room dsp
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Test programs of each room (tests/<room>/CMakeLists.txt).  Programs that run
# the virtual unit in real time are left out by default: slow, and their
# verdicts depend on the machine's load.
ROOM_TARGETS = {
    "platform": ["nel_platform_tests"],
    "link": ["nel_link_tests"],
    "dsp": ["nel_dsp_tests"],
    "cuff": ["nel_cuff_tests", "nel_cuff_inflate_tests"],
    "bp": ["nel_bp_tests", "nel_bp_sequencer_tests"],
    "analysis": ["nel_analysis_tests"],
    "control": ["nel_control_tests"],
}
SLOW_TARGETS = {
    "bp": ["nel_bp_closed_loop_tests"],
    "control": ["nel_control_e2e_tests"],
}


def equivalence_key(f):
    return (f["file"], f.get("original", f["find"].strip()), f.get("mutated", f["replace"].strip()))


def load_equivalent(path):
    """equivalent.json: a list of {file, original, mutated, reason}: generated
    mutants that cannot change what the library does, so no test can catch
    them. They are listed, not run."""
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as f:
        entries = json.load(f)
    out = {}
    for i, e in enumerate(entries):
        for key in ("file", "original", "mutated", "reason"):
            if key not in e:
                sys.exit(f"{path}: entry {i} has no '{key}'")
        out[(e["file"], e["original"], e["mutated"])] = e["reason"]
    return out


def load_faults(path):
    """faults.json: a list of {id, room, file, find, replace, note}."""
    with open(path, encoding="utf-8") as f:
        faults = json.load(f)
    seen = set()
    for i, fl in enumerate(faults):
        for key in ("id", "room", "file", "find", "replace", "note"):
            if key not in fl:
                sys.exit(f"{path}: entry {i} has no '{key}'")
        if fl["id"] in seen:
            sys.exit(f"{path}: id {fl['id']} appears twice")
        if fl["find"] == fl["replace"]:
            sys.exit(f"{path}: {fl['id']} replaces its fragment by itself")
        seen.add(fl["id"])
    return faults


class Planted:
    """Context manager: the file with one fragment replaced, restored on exit."""

    def __init__(self, path, find, replace):
        self.path, self.find, self.replace = path, find, replace
        self.original = None
        self.stat = None

    def __enter__(self):
        with open(self.path, "rb") as f:
            self.original = f.read()
        self.stat = os.stat(self.path)
        text = self.original.decode("utf-8")
        n = text.count(self.find)
        if n != 1:
            raise LookupError(f"fragment found {n} times in {self.path}, not once")
        mutated = text.replace(self.find, self.replace, 1)
        with open(self.path, "wb") as f:
            f.write(mutated.encode("utf-8"))
        return self

    def restore(self):
        if self.original is None:
            return
        with open(self.path, "wb") as f:
            f.write(self.original)
        # A later time stamp than the mutant's, so that ninja rebuilds the
        # object from the restored text.
        now = time.time()
        os.utime(self.path, (now, now))
        self.original = None

    def __exit__(self, *exc):
        self.restore()
        return False


def run(cmd, timeout, cwd=None):
    """Runs cmd in its own process group; returns (rc or 'timeout', output)."""
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return "timeout", out.decode("utf-8", "replace")
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise


def build(build_dir, targets, timeout):
    return run(["ninja", "-C", build_dir, "-j1"] + targets, timeout)


def run_tests(build_dir, targets, timeout):
    """Runs each test program; returns (verdict, detail)."""
    failed = []
    for t in targets:
        exe = find_exe(build_dir, t)
        if exe is None:
            return "error", f"{t} not found under {build_dir}"
        rc, out = run([exe, "--gtest_brief=1"], timeout, cwd=os.path.dirname(exe))
        if rc == "timeout":
            return "caught", f"{t}: timed out after {timeout} s"
        if rc != 0:
            names = [l.split("]", 1)[1].strip().split(" ")[0]
                     for l in out.splitlines() if l.startswith("[  FAILED  ]") and "." in l]
            failed.append(f"{t}: " + (", ".join(sorted(set(names))[:4]) or f"exit {rc}"))
    if failed:
        return "caught", "; ".join(failed)
    return "missed", ""


def find_exe(build_dir, target):
    for root, _, files in os.walk(build_dir):
        if target in files:
            path = os.path.join(root, target)
            if os.access(path, os.X_OK):
                return path
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tree", required=True, help="source tree to mutate (a copy, never the working tree)")
    ap.add_argument("--build", required=True, help="configured Ninja build dir of --tree")
    ap.add_argument("--faults", default=os.path.join(HERE, "faults.json"))
    ap.add_argument("--room", action="append", help="only faults of this room (repeatable)")
    ap.add_argument("--fault", action="append", help="only these fault ids (repeatable, or comma-separated)")
    ap.add_argument("--slow", action="store_true", help="also run the room's real-time test programs")
    ap.add_argument("--timeout", type=float, default=120, help="per-fault test timeout, seconds")
    ap.add_argument("--build-timeout", type=float, default=900, help="per-fault build timeout, seconds")
    ap.add_argument("--json", help="write the results to this file")
    ap.add_argument("--check", action="store_true", help="only check that every fragment is found once")
    ap.add_argument("--in-place", action="store_true", help="allow mutating the tree this tool lives in")
    ap.add_argument("--verbose", action="store_true", help="print ninja's output for each fault")
    ap.add_argument("--no-baseline", action="store_true", help="skip the unmutated run of each room")
    ap.add_argument("--auto", type=int, nargs="?", const=48, metavar="N",
                    help="generated mutants instead of faults.json: N per room (default 48)")
    ap.add_argument("--equivalent", default=os.path.join(HERE, "equivalent.json"),
                    help="generated mutants known to be equivalent, with reasons")
    ap.add_argument("--list", action="store_true", help="only print the selected mutants")
    args = ap.parse_args()

    tree, build_dir = os.path.abspath(args.tree), os.path.abspath(args.build)
    if os.path.commonpath([tree, HERE]) == tree and not args.in_place:
        sys.exit(f"{tree} holds this tool: mutate a copy (git clone), or pass --in-place")
    if not os.path.exists(os.path.join(build_dir, "build.ninja")):
        sys.exit(f"{build_dir}: no build.ninja")
    equivalent = {}
    if args.auto is not None:
        sys.path.insert(0, HERE)
        import generate  # noqa: E402 (beside this tool)
        equivalent = load_equivalent(args.equivalent)
        faults = []
        for room in args.room or sorted(ROOM_TARGETS):
            picked, total = generate.generate(tree, room, args.auto)
            print(f"{room}: {len(picked)} of {total} candidate mutants", flush=True)
            faults += picked
    else:
        faults = load_faults(args.faults)
    if args.room:
        faults = [f for f in faults if f["room"] in args.room]
    if args.fault:
        ids = {i for arg in args.fault for i in arg.split(",") if i}
        unknown = ids - {f["id"] for f in faults}
        if unknown:
            sys.exit(f"unknown fault ids: {', '.join(sorted(unknown))}")
        faults = [f for f in faults if f["id"] in ids]
    if not faults:
        sys.exit("no faults selected")

    # Every fragment must be found exactly once before anything is touched.
    bad = []
    for f in faults:
        path = os.path.join(tree, f["file"])
        try:
            with open(path, encoding="utf-8") as fh:
                n = fh.read().count(f["find"])
        except OSError as e:
            bad.append(f"{f['id']}: {e}")
            continue
        if n != 1:
            bad.append(f"{f['id']}: fragment found {n} times in {f['file']}")
    if bad:
        print("refused:\n  " + "\n  ".join(bad), file=sys.stderr)
        sys.exit(2)
    if args.check:
        print(f"{len(faults)} faults, every fragment found exactly once")
        return
    if args.list:
        for f in faults:
            eq = equivalent.get(equivalence_key(f))
            print(f"{f['id']:<20} {f['note']}" + (f"\n{'':<20} equivalent: {eq}" if eq else ""))
        return

    def targets_of(room):
        if room not in ROOM_TARGETS:
            sys.exit(f"no test programs known for room '{room}'")
        return ROOM_TARGETS[room] + (SLOW_TARGETS.get(room, []) if args.slow else [])

    # The unmutated tree must build and pass, or no verdict means anything.
    if not args.no_baseline:
        for room in sorted({f["room"] for f in faults}):
            t = targets_of(room)
            rc, out = build(build_dir, t, args.build_timeout)
            if rc != 0:
                sys.exit(f"baseline build of {room} fails:\n{out[-3000:]}")
            verdict, detail = run_tests(build_dir, t, args.timeout)
            if verdict != "missed":
                sys.exit(f"baseline tests of {room} do not pass: {detail}")
            print(f"baseline {room}: builds and passes", flush=True)

    results = []
    for f in faults:
        reason = equivalent.get(equivalence_key(f))
        if reason:
            r = dict(f, verdict="equivalent", detail=reason, seconds=0.0)
            results.append(r)
            print(f"{f['id']:<14} {'equivalent':<13} {0.0:>6.1f}s  {f['note']}\n{'':<14} {reason}", flush=True)
            continue
        t = targets_of(f["room"])
        path = os.path.join(tree, f["file"])
        start = time.time()
        with Planted(path, f["find"], f["replace"]):
            rc, out = build(build_dir, t, args.build_timeout)
            name = os.path.basename(f["file"])
            rebuilt = (name + ".o" in out) if not name.endswith((".h", ".hpp")) else "Building" in out
            if rc == 0 and not rebuilt:
                # The test programs do not depend on the file: no verdict.
                verdict, detail = "not rebuilt", "ninja compiled nothing for the planted file"
            elif rc == "timeout":
                verdict, detail = "build timeout", f"ninja ran past {args.build_timeout} s"
            elif rc != 0:
                verdict = "not compiled"
                errs = [l for l in out.splitlines() if "error" in l]
                detail = (errs[0] if errs else out[-300:]).strip()[:200]
            else:
                verdict, detail = run_tests(build_dir, t, args.timeout)
        if args.verbose:
            print(out, flush=True)
        r = dict(f, verdict=verdict, detail=detail, seconds=round(time.time() - start, 1))
        results.append(r)
        print(f"{f['id']:<14} {verdict:<13} {r['seconds']:>6.1f}s  {f['note']}"
              + (f"\n{'':<14} {detail}" if detail else ""), flush=True)

    # Leave the build matching the restored tree.
    for room in sorted({f["room"] for f in faults}):
        build(build_dir, targets_of(room), args.build_timeout)

    print()
    print(f"{'id':<14} {'room':<9} {'verdict':<13} note")
    for r in results:
        print(f"{r['id']:<14} {r['room']:<9} {r['verdict']:<13} {r['note']}")
    print()
    for room in sorted({r["room"] for r in results}):
        rr = [r for r in results if r["room"] == room]
        caught = sum(r["verdict"] == "caught" for r in rr)
        other = {}
        for r in rr:
            if r["verdict"] not in ("caught", "missed"):
                other[r["verdict"]] = other.get(r["verdict"], 0) + 1
        extra = "".join(f", {n} {v}" for v, n in sorted(other.items()))
        extra = f" ({extra[2:]})" if extra else ""
        counted = caught + sum(r["verdict"] == "missed" for r in rr)
        share = f" = {100.0 * caught / counted:.0f}%" if counted else ""
        print(f"{room}: caught {caught} of {counted}{share}{extra}")
    missed = [r["id"] for r in results if r["verdict"] == "missed"]
    if missed:
        print("missed: " + ", ".join(missed))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(results, fh, indent=2)
            fh.write("\n")


def _terminate(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
    signal.signal(signal.SIGTERM, _terminate)
    signal.signal(signal.SIGHUP, _terminate)
    try:
        main()
    except KeyboardInterrupt:
        print("\ninterrupted; the planted file was restored", file=sys.stderr)
        sys.exit(130)
