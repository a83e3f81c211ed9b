"""How often the significance calls differ from the truth, and what settling them costs.

The truth of a workload is one run of a million plain permutations (written
once to build/bench/truth/, about five minutes a workload on two threads).
Each round then runs, in separate processes and taking turns, the analysis
with unsettled calls and the package's default (calls settled at the cut),
with another seed each round, and counts at padj < 0.05 the calls that the
truth does not make (false) and the truth's calls it misses (missed), per
100 true calls.

    python bench/stable_calls.py [--rounds 3] [--only example,W1] [--threads 2]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import run_bench  # noqa: E402
import workloads  # noqa: E402

TRUTH = run_bench.BUILD / "truth"
CUT = 0.05
TRUTH_PERMUTATIONS = 1_000_000

ANALYSIS = """
import json, sys, time, rsvelmopy
threads, seed, settle, rnk, gmt = sys.argv[1:]
ranks = {g: float(s) for g, s in (line.rstrip("\\n").split("\\t") for line in open(rnk))}
options = {"mode": "simple", "nperm": int(settle)} if seed == "truth" else {"seed": int(seed)}
if settle != "none" and seed != "truth":
    options["stable_calls"] = float(settle)
start = time.perf_counter()
rows = rsvelmopy.run_gsea(ranks, gmt, threads=int(threads), diagnostics=False, **options)
wall = time.perf_counter() - start
print(json.dumps({"wall": wall, "padj": {r["pathway"]: r["padj"] for r in rows}}))
"""


def analyse(work: dict, threads: int, seed: str, settle: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", ANALYSIS, str(threads), seed, settle, str(work["rnk"][0]), str(work["gmt"])],
        check=True,
        capture_output=True,
        text=True,
        env=run_bench.clean_env(),
    )
    return json.loads(out.stdout)


def truth(name: str, work: dict, threads: int) -> dict[str, float]:
    path = TRUTH / f"{name}.json"
    if not path.exists():
        TRUTH.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        found = analyse(work, threads, "truth", str(TRUTH_PERMUTATIONS))
        print(f"{name}: truth from {TRUTH_PERMUTATIONS:,} permutations in {time.perf_counter() - start:.0f} s")
        path.write_text(json.dumps(found["padj"]))
    return json.loads(path.read_text())


def flips(padj: dict, true_padj: dict) -> tuple[int, int, int]:
    called = {p for p, q in padj.items() if q is not None and q < CUT}
    true_calls = {p for p, q in true_padj.items() if q is not None and q < CUT}
    return len(called - true_calls), len(true_calls - called), len(true_calls)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="example,W1")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    loads = workloads.build(run_bench.BUILD / "workloads")
    print(f"calls at padj < {CUT} against {TRUTH_PERMUTATIONS:,} permutations; {args.threads} threads")
    for name in args.only.split(","):
        true_padj = truth(name, loads[name], args.threads)
        runs = {"unsettled": [], "settled": []}
        for round_ in range(args.rounds):
            for kind, settle in (("unsettled", "none"), ("settled", str(CUT))):
                found = analyse(loads[name], args.threads, str(42 + round_), settle)
                runs[kind].append((found["wall"], *flips(found["padj"], true_padj)))
        for kind, rows in runs.items():
            wall = statistics.median(r[0] for r in rows)
            false = statistics.median(r[1] for r in rows)
            missed = statistics.median(r[2] for r in rows)
            per_100 = statistics.median(100.0 * (r[1] + r[2]) / max(r[3], 1) for r in rows)
            print(
                f"{name:<8} {kind:<10} {rows[0][3]:>4} true calls  false {false:>4.0f}  missed {missed:>4.0f}  "
                f"flips per 100 true calls {per_100:5.1f}  {wall:6.2f} s"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
