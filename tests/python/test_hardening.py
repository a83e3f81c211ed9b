"""Hostile and large input, reference leaks, threads and fork."""

import gc
import math
import os
import random
import sys

import pytest
import rsvelmopy
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


def test_hostile_keys_values_and_gene_names(gmt, tmp_path):
    class Gene(str):
        pass

    plain = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=50)
    assert repr(rsvelmopy.run_gsea_py({Gene(k): v for k, v in RANKS.items()}, gmt, nperm=50)) == repr(plain)
    with pytest.raises(Boom, match="no float here"):  # propagated unchanged
        rsvelmopy.run_gsea_py({"g0": 1.0, "g1": Unconvertible()}, gmt)
    ranks = dict(RANKS)

    class Mutating:
        def __float__(self):
            ranks.clear()
            ranks.update({f"new{i}": float(i) for i in range(1000)})
            return 2.0

    ranks["g5"] = Mutating()  # the snapshot taken first is analysed
    assert [r["pathway"] for r in rsvelmopy.run_gsea_py(ranks, gmt, nperm=50)] == ["S1", "S2"]
    path = tmp_path / "odd.gmt"
    path.write_bytes("S\u00e9t\t\u2028\tg1\tg\u00e92\t\u00a0g3\u00a0\n".encode() + b"T\t\tg1\x00g2\tg4\n")
    rows = rsvelmopy.run_gsea_py({"g1": 1.0, "g\u00e92": 2.0, "g3": -1.0, "g4": 0.5}, str(path), nperm=10)
    assert {r["pathway"]: r["size"] for r in rows} == {"S\u00e9t": 3, "T": 1}


def test_a_million_genes_and_a_hundred_thousand_pathways(tmp_path):
    rng = random.Random(5)
    ranks = {f"G{i}": rng.gauss(0.0, 1.0) for i in range(1_000_000)}
    genes = list(ranks)
    (tmp_path / "many.gmt").write_text(
        "".join(f"P{p}\t\t" + "\t".join(rng.sample(genes, 15)) + "\n" for p in range(100_000))
    )
    rows = rsvelmopy.run_gsea_py(ranks, str(tmp_path / "many.gmt"), mode="simple", nperm=100)
    assert len(rows) == 100_000 and all(math.isnan(r["pval"]) or 0 < r["pval"] <= 1 for r in rows)
