"""rsvelmopy.run_gsea: the entry the package is built on. Equal to run_gsea_py bit for bit, and
usable from Python: the interpreter stays free, Ctrl-C and progress errors stop it, nothing leaks."""

import concurrent.futures
import pathlib
import threading
import time

import pytest
import rsvelmopy
from conftest import EXAMPLES, run_python

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
