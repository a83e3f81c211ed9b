"""rsvelmopy.run_gsea: the entry the package is built on. Equal to run_gsea_py bit for bit, and
usable from Python: the interpreter stays free, Ctrl-C and progress errors stop it, nothing leaks."""

import concurrent.futures
import pathlib
import threading
import time

import golden_cases
import pytest
import rsvelmopy
from conftest import EXAMPLES, run_python
from test_golden import assert_matches

RANKS = str(EXAMPLES / "panc1_foxa2ko_vs_wt_t.rnk")
GMT = str(EXAMPLES / "go_bp_2022_15_500.gmt")


def hexed(records):
    exact = ("es", "nes", "pval", "padj", "log2err")
    return [
        [r["pathway"], r["size"], r["leading_edge"], *[None if r[k] is None else r[k].hex() for k in exact]]
        for r in records
    ]


def test_equals_run_gsea_py_bit_for_bit(example_ranks, tmp_path):
    small = tmp_path / "small.gmt"
    small.write_text("".join(pathlib.Path(GMT).read_text().splitlines(keepends=True)[::40]))
    sets = {name: genes for name, _, genes in rsvelmopy.read_gmt(str(small))}
    for mode, score_type, extra in [
        ("simple", "std", {"nperm": 2000}),
        ("multilevel", "pos", {}),
        ("velmo", "std", {}),
    ]:
        py = rsvelmopy.run_gsea_py(example_ranks, str(small), nPermSimple=500, seed=5, minSize=15, maxSize=500,
                                   scoreType=score_type, mode=mode, **extra)  # fmt: skip
        options = {"nperm_simple": 500, "seed": 5, "score_type": score_type, "mode": mode, **extra}
        options |= {"min_size": 15, "max_size": 500}
        from_file = rsvelmopy.run_gsea(example_ranks, str(small), diagnostics=False, **options)
        in_memory = rsvelmopy.run_gsea(example_ranks, sets, diagnostics=False, **options)
        assert len(py) > 50 and hexed(from_file) == hexed(py) == hexed(in_memory)
        assert all(r["description"] for r in from_file) and all(r["description"] is None for r in in_memory)


def test_ctrl_c_stops_a_default_analysis_within_a_second():
    out = run_python(f"""
        import signal, time, rsvelmopy
        from conftest import read_rnk
        ranks = read_rnk({RANKS!r})
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 1.0)
        start = time.monotonic()
        try:
            rsvelmopy.run_gsea(ranks, {GMT!r}, min_size=15, max_size=500)
        except KeyboardInterrupt:
            stopped = time.monotonic() - start
        import threading
        again = rsvelmopy.run_gsea(ranks, {GMT!r}, min_size=15, max_size=500, nperm=200)
        print(stopped, len(again), threading.active_count())
    """)
    stopped, results, threads = out.split()
    assert float(stopped) < 2.0 and int(results) == 3986 and int(threads) == 1


def test_the_interpreter_stays_free_while_two_threads_analyse_at_once(example_ranks):
    options = {"min_size": 15, "max_size": 500, "nperm": 3000, "diagnostics": False}
    lone = [rsvelmopy.run_gsea(example_ranks, GMT, seed=s, **options) for s in (1, 2)]
    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    with concurrent.futures.ThreadPoolExecutor(3) as threads:
        threads.submit(count)
        together = list(threads.map(lambda s: rsvelmopy.run_gsea(example_ranks, GMT, seed=s, **options), (1, 2)))
        during = len(ticks)
        done.set()
    assert during > 20 and together == lone


def rsvelmopy_sets():
    return {name: genes for name, _, genes in rsvelmopy.read_gmt(GMT)}


def test_progress_reports_both_stages_and_its_exceptions_stop_the_analysis(example_ranks):
    calls = []
    sets = dict(list(rsvelmopy_sets().items())[::8])
    rsvelmopy.run_gsea(example_ranks, sets, min_size=15, diagnostics=False, progress=lambda *a: calls.append(a))
    assert calls[0][0] == "permutations" and ("permutations", 1000, 1000) in calls
    assert calls[-1][0] == "multilevel" and calls[-1][1] == calls[-1][2] > 0

    class Stop(Exception):
        pass

    def progress(stage, done, total):
        if done > 0:
            raise Stop(stage)

    with pytest.raises(Stop, match="permutations"):
        rsvelmopy.run_gsea(example_ranks, GMT, min_size=15, max_size=500, diagnostics=False, progress=progress)


def test_ranking_diagnostics_are_warnings():
    with pytest.warns(rsvelmopy.RankingWarning, match="detected 1 tied non-zero ranking scores"):
        rsvelmopy.run_gsea((["A", "B", "C"], [1.0, 1.0, -2.0]), {"S": ["A", "C"]}, nperm=10)


def reference_flip_risk(records, cut):
    """Each row's flip risk by its definition, as the package computed it in Python before the
    engine did: the Benjamini-Hochberg line where the calls end, and the normal tail of log2(pval)
    beyond it in standard errors log2err."""
    import math

    pvals = sorted(r["pval"] for r in records if r["pval"] == r["pval"])
    last = max((k for k, p in enumerate(pvals, 1) if p * len(records) / k < cut), default=1)
    boundary = cut * last / max(len(records), 1)
    risks = []
    for r in records:
        p, err = r["pval"], r.get("log2err")
        if p != p:
            risks.append(None)
        elif err is None or err != err or err <= 0:
            risks.append(0.0)
        else:
            risks.append(0.5 * math.erfc(abs(math.log2(p) - math.log2(boundary)) / err / math.sqrt(2)))
    return risks


def flip_risk_routes(records, cut):
    """The reference above: the package takes flip_risk from the engine alone."""
    return [reference_flip_risk(records, cut)]


def as_hex(values):
    return [None if v is None else v.hex() for v in values]


@pytest.mark.parametrize("case", sorted(golden_cases.cases()))
def test_flip_risk_equals_its_definition_bit_for_bit(case):
    """Every golden case, each at its own cut: the records are the golden ones, and the engine's
    flip_risk is the Python formula's to the bit."""
    ranks, sets, options = golden_cases.cases()[case]
    cut = [0.05, 0.25, 0.5, 1.0][sorted(golden_cases.cases()).index(case) % 4]
    records = rsvelmopy.run_gsea(ranks, sets, diagnostics=False, flip_risk_cut=cut, **options)
    engine = [r.pop("flip_risk") for r in records]
    assert_matches(case, [golden_cases.hexed(r) for r in records])
    for route in flip_risk_routes(records, cut):
        assert as_hex(engine) == as_hex(route)
    assert any(v is not None and 0.0 < v < 0.5 for v in engine) or case.startswith("single")


def test_flip_risk_on_the_bundled_example(example_ranks):
    records = rsvelmopy.run_gsea(example_ranks, GMT, mode="simple", nperm=1000, min_size=15, max_size=500,
                                 flip_risk_cut=0.05, diagnostics=False)  # fmt: skip
    engine = [r.pop("flip_risk") for r in records]
    assert len(records) > 3000
    for route in flip_risk_routes(records, 0.05):
        assert as_hex(engine) == as_hex(route)
    assert {type(v) for v in engine} <= {float, type(None)} and max(engine) <= 0.5


class TestBounds:
    """What cannot be read or allocated is refused with one line, never an abort."""

    LONG = "a line longer than 16 MiB: not a GMT file?"

    @pytest.mark.parametrize(
        "call, error, message",
        [
            ("rsvelmopy.read_gmt('/dev/zero')", ValueError, "/dev/zero, line 1: " + LONG),
            ("rsvelmopy.run_gsea(R, '/dev/zero')", ValueError, "/dev/zero, line 1: " + LONG),
            ("rsvelmopy.run_gsea_py(R, '/dev/zero')", OSError, LONG),
        ],
    )
    def test_a_file_without_lines_stops_after_one_bounded_line(self, call, error, message):
        with pytest.raises(error) as e:
            eval(call, {"rsvelmopy": rsvelmopy, "R": {"a": 1.0, "b": -1.0}})
        assert e.type is error and e.value.args == (message,)

    @pytest.mark.parametrize("sample", [10**7, 2**31, 2**64 - 1])
    def test_a_sample_beyond_memory_is_a_memory_error(self, tmp_path, sample):
        # 20,000 genes: each sampled set is a bitmap of at least 2,500 bytes, two copies of the
        # sample are kept, so 10**7 sets need at least 50 GB, more than the test machines have.
        ranks = {f"g{i}": float(20000 - i) for i in range(20000)}
        gmt = tmp_path / "top.gmt"
        gmt.write_text("TOP\t\t" + "\t".join(f"g{i}" for i in range(50)) + "\n")
        message = f"a multilevel sample of {sample} gene sets of 50 among 20000 genes needs at least "
        with pytest.raises(MemoryError, match="^" + message):
            rsvelmopy.run_gsea_py(ranks, str(gmt), nPermSimple=10, sampleSize=sample)

    def test_the_largest_sample_run_gsea_takes_can_still_exceed_memory(self):
        # 2**20 sets of 200,000 genes: at least 2 * 2**20 * 25,000 bytes = 52 GB.
        ranks = ([f"g{i}" for i in range(200000)], [float(200000 - i) for i in range(200000)])
        sets = {"TOP": [f"g{i}" for i in range(50)]}
        message = "a multilevel sample of 1048576 gene sets of 50 among 200000 genes needs at least "
        with pytest.raises(MemoryError, match="^" + message):
            rsvelmopy.run_gsea(ranks, sets, nperm_simple=10, sample_size=2**20, diagnostics=False)
