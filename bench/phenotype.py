"""make bench: the phenotype-permutation analysis (rsvelmopy.run_phenotype), whole call.

The workload: 20,000 genes x 24 samples (12 v 12) against W1's 5,000 gene sets (bench/workloads.py)
with 1,000 random permutations, at 1 and 2 threads; then one size at a time of samples, genes,
gene sets and permutations around it (2 threads) for the scaling. The expression is log-scale
noise (mean 8, sd 1 per gene, each gene with its own spread) with class A shifted by a third of
W1's score per gene, so W1's enriched sets are enriched here too. Each run is its own process
(the worker pool is fixed per process); the table shows the median of the repeats.

    python bench/phenotype.py [--repeats 3] [--no-scaling] [--scaling-repeats 1] [--json build/bench/phenotype.json]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
sys.path.insert(0, str(ROOT / "bench"))

import workloads  # noqa: E402

ONE_RUN = """
import json, sys, time
import numpy as np, rsvelmopy
rnk, gmt, genes, samples, sets, nperm = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
scores = np.zeros(20000)
with open(rnk) as f:
    for line in f:
        name, score = line.split("\\t")
        scores[int(name[1:])] = float(score)
rng = np.random.default_rng(20261208)
x = rng.normal(8.0, 1.0, size=(20000, samples)) * rng.uniform(0.5, 1.5, size=(20000, 1))
labels = np.arange(samples) < samples // 2
x[:, labels] += scores[:, None] / 3.0
with open(gmt) as f:
    rows = [[int(g[1:]) for g in line.rstrip("\\n").split("\\t")[2:]] for line in f]
# Fewer genes: the first `genes` rows, each set kept to its rows among them.
x = np.ascontiguousarray(x[:genes])
rows = [r for r in ([g for g in s if g < genes] for s in rows[:sets]) if 15 <= len(r) < genes]
start, cpu = time.perf_counter(), time.process_time()
out = rsvelmopy.run_phenotype(x, labels, rows, permutations="random", nperm=nperm, seed=1)
wall, cpu = time.perf_counter() - start, time.process_time() - cpu
import resource
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps({"wall": wall, "cpu": cpu, "sets": len(rows), "rss_mb": rss}))
"""

BASE = {"genes": 20000, "samples": 24, "sets": 5000, "nperm": 1000}
SCALING = {
    "samples": [12, 24, 48],
    "genes": [5000, 10000, 20000],
    "sets": [1000, 2500, 5000],
    "nperm": [250, 500, 1000, 2000],
}


def run(work: dict, threads: int, size: dict) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    args = [str(work["rnk"][0]), str(work["gmt"])] + [str(size[k]) for k in ("genes", "samples", "sets", "nperm")]
    done = subprocess.run([sys.executable, "-c", ONE_RUN, *args], check=True, capture_output=True, text=True, env=env)
    return json.loads(done.stdout)


def timed(work: dict, threads: int, size: dict, repeats: int) -> dict:
    runs = [run(work, threads, size) for _ in range(repeats)]
    return {
        "wall": statistics.median(r["wall"] for r in runs),
        "walls": [r["wall"] for r in runs],
        "cpu": statistics.median(r["cpu"] for r in runs),
        "sets": runs[0]["sets"],
        "rss_mb": max(r["rss_mb"] for r in runs),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--scaling-repeats", type=int, default=1)
    parser.add_argument("--json", default=str(BUILD / "phenotype.json"))
    args = parser.parse_args()
    work = workloads.build(BUILD / "data")["W1"]
    report = {"cpus": os.cpu_count(), "date": time.strftime("%Y-%m-%d %H:%M"), "repeats": args.repeats}

    one = timed(work, 1, BASE, args.repeats)
    two = timed(work, 2, BASE, args.repeats)
    report["base"] = {"size": BASE, "1": one, "2": two, "speedup": one["wall"] / two["wall"]}
    print("20,000 genes x 24 samples (12 v 12) x 5,000 W1 sets, 1,000 random permutations, whole call:")
    print(f"  1 thread  {one['wall']:7.2f} s wall {one['cpu']:7.2f} s CPU  (peak RSS {one['rss_mb']:.0f} MB)")
    print(f"  2 threads {two['wall']:7.2f} s wall {two['cpu']:7.2f} s CPU  speedup {one['wall'] / two['wall']:.2f}")
    print(f"  load average while measuring: {os.getloadavg()[0]:.1f} (2 CPUs); CPU time is the user + system time")

    if not args.no_scaling:
        print("scaling, 2 threads, one size at a time (the others as above):")
        report["scaling"] = {}
        for key, values in SCALING.items():
            for value in values:
                size = dict(BASE, **{key: value})
                result = timed(work, 2, size, args.scaling_repeats)
                report["scaling"][f"{key}={value}"] = result
                wall, cpu, sets = result["wall"], result["cpu"], result["sets"]
                print(f"  {key:8s} {value:6d}  {wall:7.2f} s wall {cpu:7.2f} s CPU  ({sets} sets)")

    out = pathlib.Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
