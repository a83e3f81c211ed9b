"""Whole analyses pinned bit for bit (tests/data/golden.json, made by scripts/regen_golden.py), with
1, 2, 3 and 16 worker threads. log2err may differ in its last bits with another trigamma library."""

import json

import pytest
import rsvelmopy
from conftest import run_python
from golden_cases import GOLDEN, cases, hexed

EXPECTED = json.loads(GOLDEN.read_text())


def assert_matches(name, records):
    expected = EXPECTED[name]
    assert [r["pathway"] for r in records] == [e["pathway"] for e in expected]
    for got, want in zip(records, expected):
        for key in ("size", "es", "nes", "pval", "padj", "leading_edge"):
            assert got[key] == want[key], (name, got["pathway"], key)
        if want["log2err"] is None:
            assert got["log2err"] is None
        else:
            assert float.fromhex(got["log2err"]) == pytest.approx(float.fromhex(want["log2err"]), rel=1e-13)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_in_this_process(name):
    ranks, sets, options = cases()[name]
    assert_matches(name, [hexed(r) for r in rsvelmopy.run_gsea(ranks, sets, diagnostics=False, **options)])


@pytest.mark.parametrize("threads", ["1", "3", "16"])
def test_with_other_thread_counts(threads):
    found = json.loads(
        run_python(
            """
            import json, rsvelmopy
            from golden_cases import cases, hexed
            print(json.dumps({name: [hexed(r) for r in rsvelmopy.run_gsea(ranks, sets, diagnostics=False, **o)]
                              for name, (ranks, sets, o) in cases().items()}))
            """,
            env={"RAYON_NUM_THREADS": threads},
        )
    )
    for name, records in found.items():
        assert_matches(name, records)
