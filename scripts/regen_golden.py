"""Regenerates tests/data/golden.json, the pinned results of whole analyses.

Run it only when a change of the results is intended, and say why in the
commit: the test compares every later build with these bits.
    .venv/bin/python scripts/regen_golden.py
"""

import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import rsvelmopy  # noqa: E402
from golden_cases import GOLDEN, cases, hexed  # noqa: E402


def main() -> int:
    out = {}
    for name, (ranks, sets, options) in cases().items():
        records = rsvelmopy.run_gsea(ranks, sets, diagnostics=False, **options)
        out[name] = [hexed(r) for r in records]
    GOLDEN.write_text(json.dumps(out, indent=1) + "\n")
    print(f"wrote {GOLDEN}: {sum(len(v) for v in out.values())} records in {len(out)} analyses")
    return 0


if __name__ == "__main__":
    sys.exit(main())
