"""Hostile and large input, reference leaks, threads and fork."""

import gc
import math
import os
import random
import sys

import pytest
import rsvelmopy
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_module import BAD_CALLS, call_names, run_call

RANKS = {f"g{i}": math.sin(i + 1) * 3 for i in range(60)}
EXCEPTIONS = (TypeError, ValueError, OverflowError, OSError, RuntimeError)


@pytest.fixture(scope="module")
def gmt(tmp_path_factory):
    path = tmp_path_factory.mktemp("hardening") / "sets.gmt"
    path.write_text(
        "S1\t\t" + "\t".join(f"g{i}" for i in range(0, 30, 2)) + "\n"
        "S2\tdesc\t" + "\t".join(f"g{i}" for i in range(10, 25)) + "\n"
    )
    return str(path)


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def stop(*_):
    raise KeyboardInterrupt


class Boom(Exception):
    pass


class Unconvertible:
    def __float__(self):
        raise Boom("no float here")


# Every failure of both entries, and a success of each.
CALLS = [call for call, _, _ in BAD_CALLS] + [
    "R, G, nperm=5, mode='simple'",
    "{**R, 'g1': Unconvertible()}, G",
    "R, G, gseaParam=math.nan",
    "run_gsea: R, S, nperm=20",
    "run_gsea: R, G + '.missing'",
    "run_gsea: R, G, progress=stop, nperm=20",
]


def test_no_reference_or_memory_grows_at_any_check(tmp_path):
    ranks = dict(RANKS)
    names = call_names(tmp_path, ranks) | {"stop": stop, "Unconvertible": Unconvertible}
    watched = [ranks, names["G"], stop, *ranks.keys(), *ranks.values()]
    for call in CALLS:

        def run(times, call=call):
            for _ in range(times):
                try:
                    run_call(call, names)
                except (*EXCEPTIONS, Boom, KeyboardInterrupt):
                    pass

        run(30)
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        memory = rss_kb()
        run(1500)
        gc.collect()
        assert [sys.getrefcount(o) for o in watched] == counts, call
        assert rss_kb() - memory < 2048, call  # a leaked record or key list per call would be megabytes


class TestHostileInput:
    def test_str_subclass_keys_and_failing_float_conversions(self, gmt):
        class Gene(str):
            pass

        plain = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=50)
        subclassed = rsvelmopy.run_gsea_py({Gene(k): v for k, v in RANKS.items()}, gmt, nperm=50)
        assert repr(subclassed) == repr(plain)
        with pytest.raises(Boom, match="no float here"):  # propagated unchanged
            rsvelmopy.run_gsea_py({"g0": 1.0, "g1": Unconvertible()}, gmt)

    def test_ranks_mutated_by_a_float_conversion(self, gmt):
        ranks = dict(RANKS)

        class Mutating:
            def __float__(self):
                ranks.clear()
                ranks.update({f"new{i}": float(i) for i in range(1000)})
                return 2.0

        ranks["g5"] = Mutating()
        rows = rsvelmopy.run_gsea_py(ranks, gmt, nperm=50)  # analyses the snapshot taken first
        assert [r["pathway"] for r in rows] == ["S1", "S2"]

    def test_odd_bytes_in_gene_sets(self, tmp_path):
        path = tmp_path / "odd.gmt"
        path.write_bytes("S\u00e9t\t\u2028\tg1\tg\u00e92\t\u00a0g3\u00a0\n".encode() + b"T\t\tg1\x00g2\tg4\n")
        rows = rsvelmopy.run_gsea_py({"g1": 1.0, "g\u00e92": 2.0, "g3": -1.0, "g4": 0.5}, str(path), nperm=10)
        assert {r["pathway"]: r["size"] for r in rows} == {"S\u00e9t": 3, "T": 1}


ANYTHING = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=5), st.binary(max_size=5),
    st.lists(st.integers(), max_size=2), st.dictionaries(st.text(max_size=3), st.floats(), max_size=3),
)  # fmt: skip
SCORE = st.one_of(st.floats(), st.integers(-(10**20), 10**20), st.booleans(), st.text(max_size=2), st.none())
RANKINGS = st.one_of(
    st.dictionaries(st.sampled_from([*RANKS, "zz"]), SCORE, max_size=40),
    st.dictionaries(st.one_of(st.text(max_size=3), st.integers()), SCORE, max_size=5),
    ANYTHING,
)
PLAUSIBLE = {
    "nPermSimple": st.integers(-3, 40), "seed": st.integers(0, 2**64), "minSize": st.integers(0, 40),
    "maxSize": st.integers(0, 40), "eps": st.floats(0, 1), "scoreType": st.sampled_from(["std", "POS", "neg", "x"]),
    "gseaParam": st.floats(-3, 3), "mode": st.sampled_from(["velmo", "simple", "multilevel", "m"]),
    "nperm": st.integers(-3, 40), "sampleSize": st.integers(-3, 40), "gpu": st.booleans(),
}  # fmt: skip
OPTIONS = st.fixed_dictionaries(
    {}, optional={"nproc": st.integers(-2, 3)} | {k: st.one_of(v, ANYTHING) for k, v in PLAUSIBLE.items()}
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ranks=RANKINGS, options=OPTIONS)
def test_random_arguments_never_crash(gmt, ranks, options):
    try:
        rows = rsvelmopy.run_gsea_py(ranks, gmt, **options)
    except EXCEPTIONS:
        return
    for row in rows:
        assert math.isnan(row["pval"]) or 0.0 <= row["pval"] <= 1.0
        if row["padj"] is not None and row["pval"] <= 1.0:
            assert row["padj"] >= row["pval"] * (1 - 2**-51)  # (p * n) / i may round below p


class TestLargeInput:
    def test_a_million_genes_and_a_hundred_thousand_pathways(self, tmp_path):
        rng = random.Random(5)
        ranks = {f"G{i}": rng.gauss(0.0, 1.0) for i in range(1_000_000)}
        path = tmp_path / "many.gmt"
        genes = list(ranks)
        with open(path, "w") as f:
            for p in range(100_000):
                f.write(f"P{p}\t\t" + "\t".join(rng.sample(genes, 15)) + "\n")
        rows = rsvelmopy.run_gsea_py(ranks, str(path), mode="simple", nperm=100)
        assert len(rows) == 100_000
        assert all(math.isnan(r["pval"]) or 0 < r["pval"] <= 1 for r in rows)
