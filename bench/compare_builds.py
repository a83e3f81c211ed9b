"""Times the stage timer of several builds against each other, interleaved.

This machine's speed drifts by several per cent within minutes, so a
before/after figure only holds when the builds take turns: each round runs
every build once on every workload and thread count, and the medians over
the rounds are compared. Builds are stage-timer binaries (bench/stages.cpp)
or git revisions, which are checked out into build/compare/ and built there.
Every build must report the same results digest for a workload, else the
script stops: a faster build that changed a bit is not faster. (Timers
from before the digest print none and are not checked.)

    python bench/compare_builds.py [--rounds 3] [--only example,W1] [--threads 1,2] BUILD...

where BUILD is a path to a stages binary or a git revision (HEAD, a commit).
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import run_bench  # noqa: E402
import workloads  # noqa: E402


def stages_binary(build: str) -> pathlib.Path:
    """The binary itself, or the stage timer of a git revision, built once."""
    path = pathlib.Path(build)
    if path.is_file():
        return path.resolve()
    sha = subprocess.run(
        ["git", "-C", str(run_bench.ROOT), "rev-parse", "--short=12", build],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    tree = run_bench.ROOT / "build" / "compare" / sha
    if not tree.exists():
        # (a tree removed with build/ stays registered until pruned)
        subprocess.run(["git", "-C", str(run_bench.ROOT), "worktree", "prune"], check=True)
        subprocess.run(
            ["git", "-C", str(run_bench.ROOT), "worktree", "add", "--detach", str(tree), sha],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return run_bench.build_binary(tree, tree / "build")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+", metavar="BUILD")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="example,W1")
    parser.add_argument("--threads", default="1")
    args = parser.parse_args()

    binaries = [stages_binary(b) for b in args.builds]
    loads = workloads.build(run_bench.BUILD / "data")
    cases = [(name, int(t)) for name in args.only.split(",") for t in args.threads.split(",")]
    runs: dict[tuple, list[tuple[float, float]]] = {}
    digests: dict[tuple, set] = {}
    for _ in range(args.rounds):
        for name, threads in cases:
            for build, binary in zip(args.builds, binaries):
                start = time.perf_counter()
                out = run_bench.run_stages(binary, loads[name], threads)
                wall = time.perf_counter() - start
                runs.setdefault((name, threads, build), []).append((out["stages"]["multilevel"], wall))
                if "results_digest" in out:  # timers older than the digest print none
                    digests.setdefault((name, threads), set()).add(out["results_digest"])
        for (name, threads), seen in digests.items():
            if len(seen) > 1:
                print(f"{name} at {threads} thread(s): the builds' results differ ({', '.join(sorted(seen))})")
                return 1

    print(f"medians of {args.rounds} interleaved rounds; last column: first build's time / this build's")
    for name, threads in cases:
        first = None
        for build in args.builds:
            stage = statistics.median(s for s, _ in runs[(name, threads, build)])
            wall = statistics.median(w for _, w in runs[(name, threads, build)])
            first = first or (stage, wall)
            print(
                f"{name:<8} {threads} thread(s)  {build:<24} multilevel {stage:7.2f} s  whole {wall:7.2f} s  "
                f"x{first[0] / stage:.2f} / x{first[1] / wall:.2f}"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
