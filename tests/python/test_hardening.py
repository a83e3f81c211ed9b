"""Hostile and large input, reference leaks, threads and fork."""

import gc
import math
import os
import random
import sys
import threading
import time

import pytest
import rsvelmopy
from conftest import run_python
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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


class TestReferenceLeaks:
    def failing_calls(self, gmt):
        bad_value = {"g0": "x"}
        return [
            lambda r: rsvelmopy.run_gsea_py(r, gmt, nperm=5, mode="simple"),  # success
            lambda r: rsvelmopy.run_gsea_py(r),  # missing argument
            lambda r: rsvelmopy.run_gsea_py(r, gmt, bogus=1),  # unknown keyword
            lambda r: rsvelmopy.run_gsea_py(list(r), gmt),  # not a dict
            lambda r: rsvelmopy.run_gsea_py(bad_value, gmt),  # value not a float
            lambda r: rsvelmopy.run_gsea_py({1: 1.0}, gmt),  # key not a str
            lambda r: rsvelmopy.run_gsea_py(r, 42),  # path not a str
            lambda r: rsvelmopy.run_gsea_py(r, gmt, nPermSimple=-1),  # overflow
            lambda r: rsvelmopy.run_gsea_py(r, gmt, eps="x"),  # float expected
            lambda r: rsvelmopy.run_gsea_py(r, gmt, sampleSize=0),  # sampleSize
            lambda r: rsvelmopy.run_gsea_py({**r, "nan": math.nan}, gmt),  # non-finite score
            lambda r: rsvelmopy.run_gsea_py(r, gmt + ".missing"),  # OSError
            lambda r: rsvelmopy.run_gsea_py(r, gmt, scoreType="bad"),  # scoreType
            lambda r: rsvelmopy.run_gsea_py(r, gmt, mode="bad"),  # mode
            lambda r: rsvelmopy.run_gsea_py(r, gmt, gpu=True),  # gpu
            lambda r: rsvelmopy.run_gsea_py(r, gmt, gseaParam=math.nan),  # weighting
        ]

    def test_no_reference_or_memory_grows_at_any_check(self, gmt):
        ranks = dict(RANKS)
        watched = [ranks, gmt, "bad", *ranks.keys(), *ranks.values()]
        for call in self.failing_calls(gmt):

            def run(times, call=call):
                for _ in range(times):
                    try:
                        call(ranks)
                    except EXCEPTIONS:
                        pass

            run(50)
            gc.collect()
            counts = [sys.getrefcount(o) for o in watched]
            memory = rss_kb()
            run(3000)
            gc.collect()
            assert [sys.getrefcount(o) for o in watched] == counts
            assert rss_kb() - memory < 2048  # one leaked object per call would be > 100 kB

    def test_float_error_propagates_unchanged_without_leaks(self, gmt):
        class Boom(Exception):
            pass

        class Bad:
            def __float__(self):
                raise Boom("no float here")

        bad = Bad()
        ranks = {"g0": 1.0, "g1": bad}
        before = sys.getrefcount(bad)
        for _ in range(2000):
            with pytest.raises(Boom, match="no float here"):
                rsvelmopy.run_gsea_py(ranks, gmt)
        gc.collect()
        assert sys.getrefcount(bad) == before


class TestHostileInput:
    def test_str_subclass_keys(self, gmt):
        class Gene(str):
            pass

        plain = rsvelmopy.run_gsea_py(RANKS, gmt, nperm=50)
        subclassed = rsvelmopy.run_gsea_py({Gene(k): v for k, v in RANKS.items()}, gmt, nperm=50)
        assert repr(subclassed) == repr(plain)

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

    @pytest.mark.parametrize("path", ["/dev/null", "/", "a\0b", "/proc/self/mem"])
    def test_special_paths(self, path):
        try:
            assert rsvelmopy.run_gsea_py(RANKS, path) == []
        except OSError as e:
            assert "os error" in str(e) or "NUL" in str(e)

    def test_fifo_without_writer_does_not_hang(self, tmp_path):
        fifo = tmp_path / "sets.fifo"
        os.mkfifo(fifo)
        assert rsvelmopy.run_gsea_py(RANKS, str(fifo)) == []

    def test_odd_bytes_in_gene_sets(self, tmp_path):
        path = tmp_path / "odd.gmt"
        path.write_bytes("S\u00e9t\t\u2028\tg1\tg\u00e92\t\u00a0g3\u00a0\n".encode() + b"T\t\tg1\x00g2\tg4\n")
        rows = rsvelmopy.run_gsea_py({"g1": 1.0, "g\u00e92": 2.0, "g3": -1.0, "g4": 0.5}, str(path), nperm=10)
        assert {r["pathway"]: r["size"] for r in rows} == {"S\u00e9t": 3, "T": 1}
        path.write_bytes(b"S\t\tg1\xc3\n")
        with pytest.raises(OSError, match="stream did not contain valid UTF-8"):
            rsvelmopy.run_gsea_py(RANKS, str(path))

    def test_huge_gene_name_and_line(self, tmp_path):
        name = "G" * (1 << 20)
        many = [f"x{i}" for i in range(1_000_000)]
        path = tmp_path / "big.gmt"
        path.write_text("\t".join(["BIG", "", name, *many]) + "\n")
        ranks = {name: 2.0, "x5": 1.0, "x7": -1.0, "other": 0.5}
        rows = rsvelmopy.run_gsea_py(ranks, str(path), nperm=20)
        assert rows[0]["size"] == 3 and rows[0]["leading_edge"] == [name, "x5"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_random_arguments_never_crash(gmt, data):
    anything = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(-(2**70), 2**70),
        st.floats(),
        st.text(max_size=5),
        st.binary(max_size=5),
        st.lists(st.integers(), max_size=2),
        st.dictionaries(st.text(max_size=3), st.floats(), max_size=3),
    )
    small = st.one_of(st.integers(-3, 40), anything)
    score = st.one_of(st.floats(), st.integers(-(10**20), 10**20), st.booleans(), st.text(max_size=2), st.none())
    ranks = data.draw(
        st.one_of(
            st.dictionaries(st.sampled_from(list(RANKS) + ["zz"]), score, max_size=40),
            st.dictionaries(st.one_of(st.text(max_size=3), st.integers()), score, max_size=5),
            anything,
        )
    )
    kwargs = {}
    for name, strategy in [
        ("nPermSimple", small),
        ("seed", anything),
        ("nproc", st.integers(-2, 3)),
        ("minSize", anything),
        ("maxSize", anything),
        ("eps", anything),
        ("scoreType", st.one_of(st.sampled_from(["std", "POS", "neg", "x"]), anything)),
        ("gseaParam", st.one_of(st.floats(-3, 3), anything)),
        ("mode", st.one_of(st.sampled_from(["velmo", "simple", "multilevel", "m"]), anything)),
        ("nperm", small),
        ("sampleSize", small),
        ("gpu", anything),
    ]:
        if data.draw(st.booleans()):
            kwargs[name] = data.draw(strategy)
    try:
        rows = rsvelmopy.run_gsea_py(ranks, gmt, **kwargs)
    except EXCEPTIONS:
        return
    for row in rows:
        assert math.isnan(row["pval"]) or 0.0 <= row["pval"] <= 1.0
        if row["padj"] is not None and row["pval"] <= 1.0:
            assert row["padj"] >= row["pval"] * (1 - 2**-51)  # (p * n) / i may round below p


class TestThreadsAndFork:
    def test_a_second_thread_waits_for_the_first(self, gmt):
        expected = rsvelmopy.run_gsea_py(RANKS, gmt, nPermSimple=2000)
        results, errors = [], []

        def call():
            try:
                results.append(rsvelmopy.run_gsea_py(RANKS, gmt, nPermSimple=2000))
            except BaseException as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=call) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not errors and len(results) == 4
        assert all(repr(r) == repr(expected) for r in results)

    def test_a_forked_child_can_call_after_the_parent_made_the_pool(self, gmt):
        out = run_python(f"""
            import os, rsvelmopy, sys, warnings
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            ranks = {RANKS!r}
            first = repr(rsvelmopy.run_gsea_py(ranks, {gmt!r}, nproc=2))
            pid = os.fork()
            if pid == 0:
                import signal
                signal.alarm(60)
                ok = repr(rsvelmopy.run_gsea_py(ranks, {gmt!r})) == first
                os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(status))
        """)
        assert out.strip() == "0"


class TestLargeInput:
    def test_a_million_genes_and_a_hundred_thousand_pathways(self, tmp_path):
        rng = random.Random(5)
        ranks = {f"G{i}": rng.gauss(0.0, 1.0) for i in range(1_000_000)}
        path = tmp_path / "many.gmt"
        genes = list(ranks)
        with open(path, "w") as f:
            for p in range(100_000):
                f.write(f"P{p}\t\t" + "\t".join(rng.sample(genes, 15)) + "\n")
        start = time.perf_counter()
        rows = rsvelmopy.run_gsea_py(ranks, str(path), mode="simple", nperm=100)
        elapsed = time.perf_counter() - start
        assert len(rows) == 100_000
        assert all(math.isnan(r["pval"]) or 0 < r["pval"] <= 1 for r in rows)
        print(f"1,000,000 genes x 100,000 pathways, 100 permutations: {elapsed:.1f} s")
