#!/usr/bin/env python3
"""Where a processing pass of the façade spends its time, by component.

Reads a profile of bench_facade_pass recorded with call stacks, e.g.

  taskset -c 1 perf record --call-graph=dwarf,16384 -F 1000 -o pass.data \\
      build/bench/bench_facade_pass --benchmark_filter='BM_PassMeasuring$' --benchmark_min_time=3
  python3 bench/pass_profile.py pass.data

Only samples taken inside the façade's pass (TnelHardBase::CheckData or
GetData) count; each goes to the component of the innermost frame that
names one (a library function it calls, memmove say, counts for its caller).
"""
import collections
import subprocess
import sys

FIR = "fir"
COMPONENTS = [
    ("FirFilter::", FIR),
    ("FirFilterTrio::", FIR),
    ("FirDot", FIR),
    ("DotProduct", FIR),
    ("TrwECGPulseRate", "heart-rate tracker (TrwECGPulseRate)"),
    ("EcgAnalyser", "beat analyser (EcgAnalyser, EcgBeatClassifier)"),
    ("EcgBeatClassifier", "beat analyser (EcgAnalyser, EcgBeatClassifier)"),
    ("RankWindow", "beat analyser (EcgAnalyser, EcgBeatClassifier)"),
    ("TnelPulseRecogn", "pulse recognition (TnelPulseRecogn)"),
    ("TnelBPMInflate", "BP sequencers, cuff safety (src/cuff)"),
    ("cuff::", "BP sequencers, cuff safety (src/cuff)"),
    ("TnelBPVCheck", "BP check: decimation, delay ring, rest (src/bp)"),
    ("TnelProcBPData", "BP check: decimation, delay ring, rest (src/bp)"),
    ("TnelFIRFilter", "filter bank (TnelFIRFilter, SymmetricFirGroup)"),
    ("SymmetricFir", "filter bank (TnelFIRFilter, SymmetricFirGroup)"),
    ("::Block", "filter bank (TnelFIRFilter, SymmetricFirGroup)"),
    ("QXProtocol", "link: unpacking, sampling (src/link)"),
    ("TSamThread", "link: unpacking, sampling (src/link)"),
    ("TSerialPort", "link: unpacking, sampling (src/link)"),
    ("TnelHardBase", "control: the pass, conversions, copies (src/control)"),
]


def component(frames):
    """frames: innermost first. None for a sample outside the pass."""
    if not any("TnelHardBase::CheckData" in f or "TnelHardBase::GetData" in f for f in frames):
        return None
    for i, frame in enumerate(frames):
        for key, name in COMPONENTS:
            if key not in frame:
                continue
            if name != FIR:
                return name
            for caller in frames[i + 1:]:  # whose FIR filter
                if "TrwECGPulseRate" in caller:
                    return "heart-rate tracker (TrwECGPulseRate)"
                if "TnelBPVCheck" in caller:
                    return "BP check low-passes (FirFilterTrio, 3 x 201 taps per cuff)"
            return "FirFilter (other callers)"
    return "other inside the pass (libc, kernel)"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    script = subprocess.run(["perf", "script", "-i", sys.argv[1], "-F", "ip,sym"], capture_output=True, text=True,
                            check=True).stdout
    counts = collections.Counter()
    for block in script.split("\n\n"):
        frames = [line.strip() for line in block.strip().splitlines()]
        name = component(frames) if frames else None
        if name:
            counts[name] += 1
    total = sum(counts.values())
    if total == 0:
        sys.exit("no samples inside the pass (recorded without --call-graph=dwarf?)")
    for name, n in counts.most_common():
        print(f"{100.0 * n / total:6.1f} %  {name}")
    print(f"({total} samples inside the pass)")


if __name__ == "__main__":
    main()
