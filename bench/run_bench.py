"""make bench: times the synthetic workloads at 1 and 2 threads.

Each run is its own process (the worker pool is fixed per process). The
bundled example, W1, W2 and W3 run in the stage-timing binary, which reports
the time of each stage, the peak RSS and the floor of the multilevel stage
(its random draws replayed alone, see bench/stages.cpp); W3 also runs through the Python module (one call after the
other, on 1 or 2 pool threads) and through rsvelmo.gsea_many (1 or 2 worker
processes of one thread each), the ways users call it. Prints a table and writes the medians to a JSON file.

    python bench/run_bench.py [--repeats 3] [--only W1,W2] [--json build/bench/results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
sys.path.insert(0, str(ROOT / "bench"))

import workloads  # noqa: E402

MODULE_LOOP = """
import resource, sys, time, rsvelmopy
threads, gmt, *files = sys.argv[1:]
rankings = []
for path in files:
    with open(path) as f:
        rankings.append({g: float(s) for g, s in (line.rstrip("\\n").split("\\t") for line in f)})
start = time.perf_counter()
for ranks in rankings:
    rsvelmopy.run_gsea_py(ranks, gmt, nproc=int(threads))
wall = time.perf_counter() - start
print(wall, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0)
"""


MANY_PROCESSES = """
import resource, sys, time, rsvelmo
if __name__ == "__main__":
    threads, gmt, *files = sys.argv[1:]
    rankings = {path: rsvelmo.read_ranks(path) for path in files}
    start = time.perf_counter()
    rsvelmo.gsea_many(rankings, gmt, max_workers=int(threads), progress=False)
    wall = time.perf_counter() - start
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(wall, max(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, children) / 1024.0)
"""


def build_binary(source: pathlib.Path = ROOT, build: pathlib.Path = BUILD) -> pathlib.Path:
    """Builds the stage timer of the sources in `source` into `build`."""
    venv = ROOT / ".venv" / "bin"
    cmake = str(venv / "cmake") if (venv / "cmake").exists() else "cmake"
    subprocess.run(
        [
            cmake,
            "-S",
            str(source),
            "-B",
            str(build),
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DCMAKE_MAKE_PROGRAM={venv / 'ninja'}",
            "-DRSVELMO_BUILD_BENCH=ON",
            "-DRSVELMO_BUILD_MODULE=OFF",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run([cmake, "--build", str(build), "--target", "stages"], check=True, stdout=subprocess.DEVNULL)
    return build / "stages"


def clean_env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}


def run_stages(binary, work, threads: int, permutations_only: bool = False) -> dict:
    args = [
        str(binary),
        *(["--permutations-only"] if permutations_only else []),
        str(threads),
        str(work["gmt"]),
        *map(str, work["rnk"]),
    ]
    done = subprocess.run(args, check=True, capture_output=True, text=True, env=clean_env())
    return json.loads(done.stdout)


def run_module(work, threads: int, script: str = MODULE_LOOP) -> dict:
    args = [sys.executable, "-c", script, str(threads), str(work["gmt"]), *map(str, work["rnk"])]
    done = subprocess.run(args, check=True, capture_output=True, text=True, env=clean_env())
    wall, rss = map(float, done.stdout.split())
    return {"wall": wall, "peak_rss_mb": rss}


def medians(runs: list[dict]) -> dict:
    out = {
        "wall": statistics.median(r["wall"] for r in runs),
        "walls": [r["wall"] for r in runs],
        "peak_rss_mb": max(r["peak_rss_mb"] for r in runs),
    }
    if "stages" in runs[0]:
        out["stages"] = {k: statistics.median(r["stages"][k] for r in runs) for k in runs[0]["stages"]}
    if runs[0].get("estimators"):
        out["floor"] = statistics.median(r["floor"] for r in runs)
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", default="example,W1/1000,W1,W1/one,W2,W3")
    parser.add_argument("--json", default=str(BUILD / "results.json"))
    args = parser.parse_args()

    binary = build_binary()
    loads = workloads.build(BUILD / "data")
    report = {
        "machine": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "repeats": args.repeats,
        "results": {},
    }
    jobs = []
    for name in args.only.split(","):
        work = loads[name]
        if name == "W1/1000":
            jobs.append(("W1/1000 simple", lambda t, w=work: run_stages(binary, w, t, permutations_only=True)))
        jobs.append((f"{name} engine", lambda t, w=work: run_stages(binary, w, t)))
        if name == "W3":
            jobs.append((f"{name} module", lambda t, w=work: run_module(w, t)))
            jobs.append((f"{name} gsea_many", lambda t, w=work: run_module(w, t, MANY_PROCESSES)))
    for label, runner in jobs:
        entry = {str(t): medians([runner(t) for _ in range(args.repeats)]) for t in (1, 2)}
        entry["speedup"] = entry["1"]["wall"] / entry["2"]["wall"]
        if "stages" in entry["1"]:
            entry["multilevel_speedup"] = entry["1"]["stages"]["multilevel"] / entry["2"]["stages"]["multilevel"]
        if "floor" in entry["1"]:  # the multilevel stage on one thread against the time its draws alone take
            entry["floor_ratio"] = entry["1"]["stages"]["multilevel"] / entry["1"]["floor"]
        report["results"][label] = entry
        print_row((label, entry))

    pathlib.Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(args.json).write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nmedians of {args.repeats} runs; JSON: {args.json}")
    return 0


def print_row(row) -> None:
    name, entry = row
    one, two = entry["1"], entry["2"]
    print(
        f"{name:<15} 1 thread {one['wall']:8.2f} s   2 threads {two['wall']:8.2f} s   "
        f"speedup {entry['speedup']:.2f}   peak RSS {max(one['peak_rss_mb'], two['peak_rss_mb']):6.0f} MB"
    )
    for threads in ("1", "2"):
        stages = entry[threads].get("stages")
        if stages:
            split = "  ".join(f"{k} {v:.2f}" for k, v in stages.items())
            print(f"{'':<15}   stages at {threads}: {split}")
    if "floor_ratio" in entry:
        print(
            f"{'':<15}   multilevel floor {one['floor']:.2f} s: the stage takes "
            f"{entry['floor_ratio']:.1f} x the floor, {entry['multilevel_speedup']:.2f} x faster on 2 threads"
        )
    sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
