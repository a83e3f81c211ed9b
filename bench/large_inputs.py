"""Time and peak memory of the module on very large inputs, each case in its
own process.

    python bench/large_inputs.py
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import textwrap

CASE = textwrap.dedent("""
    import random, resource, sys, time, rsvelmopy
    case, folder = sys.argv[1], sys.argv[2]
    rng = random.Random(11)
    genes = 20_000
    if case == "ranking of 1,000,000 genes":
        genes = 1_000_000
    ranks = {f"G{i}": rng.gauss(0.0, 1.0) for i in range(genes)}
    names = list(ranks)
    gmt = f"{folder}/sets.gmt"
    with open(gmt, "w") as f:
        if case == "GMT of 100,000 pathways":
            for p in range(100_000):
                f.write(f"P{p}\\t\\t" + "\\t".join(rng.sample(names, rng.randint(15, 100))) + "\\n")
        elif case == "GMT line of 1,000,000 genes":
            others = "\\t".join(f"X{i}" for i in range(1_000_000))
            f.write("BIG\\t\\t" + others + "\\t" + "\\t".join(names[:300]) + "\\n")
        elif case == "gene name of 1 MB":
            long_name = "N" * (1 << 20)
            ranks[long_name] = 3.0
            f.write("LONG\\t\\t" + long_name + "\\t" + "\\t".join(names[:40]) + "\\n")
        else:
            for p in range(50):
                f.write(f"P{p}\\t\\t" + "\\t".join(rng.sample(names, 50)) + "\\n")
    start = time.perf_counter()
    rows = rsvelmopy.run_gsea_py(ranks, gmt, mode="simple", nperm=1000)
    elapsed = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{case:<30} {len(rows):>7} results  {elapsed:7.2f} s  peak RSS {peak:7.0f} MB")
""")

CASES = ["ranking of 1,000,000 genes", "GMT of 100,000 pathways", "GMT line of 1,000,000 genes", "gene name of 1 MB"]


def main() -> int:
    for case in CASES:
        with tempfile.TemporaryDirectory() as folder:
            done = subprocess.run([sys.executable, "-c", CASE, case, folder], capture_output=True, text=True)
            print(done.stdout.strip() or f"{case}: failed\n{done.stderr}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
