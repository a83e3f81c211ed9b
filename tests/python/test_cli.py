import csv
import hashlib
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest
import rsvelmo.cli.run
import rsvelmopy
from rsvelmo.cli import main


@pytest.fixture(scope="module")
def inputs(tmp_path_factory, example_ranks, example_gmt):
    """A ranking of 3,000 real genes and 25 real gene sets that overlap it."""
    folder = tmp_path_factory.mktemp("inputs")
    genes = list(example_ranks)[::3][:3000]
    rnk = folder / "panc1.rnk"
    rnk.write_text("gene\tt\n" + "".join(f"{g}\t{example_ranks[g]!r}\n" for g in genes))
    kept = set(genes)
    with open(example_gmt) as f:
        lines = [line for line in f if 20 <= sum(g in kept for g in line.rstrip("\n").split("\t")[2:]) <= 200]
    gmt = folder / "sets.gmt"
    gmt.write_text("".join(lines[::20][:25]))
    paths = {"rnk": str(rnk), "gmt": str(gmt), "ranks": {g: example_ranks[g] for g in genes}}
    # Rankings as users bring them that cannot be analysed.
    for name, line in [
        ("bad", lambda i, g: "B\thigh\n" if i == 1 else f"{g}\t1\n"),
        ("lower", lambda i, g: f"{g.lower()}\t{example_ranks[g]!r}\n"),
        ("ensembl", lambda i, g: f"ENSG{i:011d}\t{example_ranks[g]!r}\n"),
        ("zeros", lambda i, g: f"{g}\t0\n"),
    ]:
        paths[name] = str(folder / f"{name}.rnk")
        (folder / f"{name}.rnk").write_text("".join(line(i, g) for i, g in enumerate(genes)))
    return paths


def read_table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def cli(*args):
    return main([str(a) for a in args])


# A quick analysis of the small inputs: permutations only, quiet.
QUICK = "--min-size 20 --max-size 200 --quiet --no-refine".split()


class TestRun:
    def test_end_to_end(self, inputs, tmp_path, capsys):
        out = tmp_path / "out"
        assert cli("run", inputs["rnk"], inputs["gmt"], "-o", out, "--min-size", 20, "--max-size", 200, "--top", 3) == 0
        rows = read_table(out / "results.tsv")
        records = rsvelmopy.run_gsea_py(inputs["ranks"], inputs["gmt"], minSize=20, maxSize=200)
        records = {r["pathway"]: r for r in records}
        assert len(rows) == len(records) == 25
        for row in rows:
            record = records[row["pathway"]]
            for name in ("es", "nes", "pval", "padj", "log2err"):  # every digit survives the text
                assert row[name] == ("NA" if record[name] is None or math.isnan(record[name]) else repr(record[name]))
            assert row["leading_edge"].split(",") == record["leading_edge"] and row["description"]
            assert int(row["leading_edge_size"]) == len(record["leading_edge"])
        assert [float(r["pval"]) for r in rows] == sorted(float(r["pval"]) for r in rows)
        printed = capsys.readouterr().out
        assert "3000 genes, 25 gene sets read, 25 tested (sizes 20 to 200)" in printed
        assert "padj < 0.05:" in printed and "top up:" in printed and "top down:" in printed
        assert f"results: {out / 'results.tsv'}" in printed

    def test_several_rankings_plots_report_and_provenance(self, inputs, tmp_path, capsys):
        negated = tmp_path / "negated.rnk"
        negated.write_text("".join(f"{g}\t{-s!r}\n" for g, s in inputs["ranks"].items()))
        out = tmp_path / "out"
        argv = [inputs["rnk"], negated, inputs["gmt"], "-o", out, "--no-refine", "--min-size", 20, "--max-size", 200]
        assert (
            cli("run", *argv, "--top", 2, "--plots", "--format", "svg", "--report", "--collapse", "--threads", 2) == 0
        )
        combined = read_table(out / "results.tsv")
        assert {r["ranking"] for r in combined} == {"panc1", "negated"} and (out / "report.html").exists()
        assert list(combined[0])[-2:] == ["cluster", "representative"]
        for name in ("panc1", "negated"):
            own = read_table(out / f"{name}.results.tsv")
            assert own == [{k: v for k, v in r.items() if k != "ranking"} for r in combined if r["ranking"] == name]
            figures = sorted(os.listdir(out / "plots" / name))
            # The three summary figures, and a running-sum plot per significant top set.
            significant = [r for r in own if r["padj"] != "NA" and float(r["padj"]) < 0.05]
            up = sum(float(r["nes"]) > 0 for r in significant)
            summaries = {"summary.svg", "leading_edge.svg", "enrichment_map.svg", "gene_set_table.svg"}
            summaries |= {"running_sums.svg"} if significant else set()
            assert summaries <= set(figures)
            assert len(figures) == len(summaries) + min(up, 2) + min(len(significant) - up, 2)
            for figure in figures:
                data = (out / "plots" / name / figure).read_bytes()
                assert data.startswith(b"<?xml") and len(data) > 10_000  # drawn, not blank
        nes = {(r["ranking"], r["pathway"]): float(r["nes"]) for r in combined}
        assert all(nes[("negated", p)] < 0 for (k, p), v in nes.items() if k == "panc1" and v > 0)
        run = json.loads((out / "run.json").read_text())
        assert run["settings"]["seed"] == 42 and run["settings"]["nperm"] == 1000 and run["seconds"] > 0
        assert [os.path.basename(i["path"]) for i in run["inputs"]] == ["panc1.rnk", "negated.rnk", "sets.gmt"]
        assert all(len(i["sha256"]) == 64 and i["bytes"] > 0 for i in run["inputs"])
        assert run["rankings"]["negated"]["rows"] == 3000 and run["rankings"]["negated"]["scores_from"] == "column 2"

    def test_matrix(self, inputs, tmp_path, capsys):
        table = tmp_path / "m.tsv"
        table.write_text("gene\tkO\tshuffled\n" + "".join(f"{g}\t{s!r}\t{-s!r}\n" for g, s in inputs["ranks"].items()))
        out = tmp_path / "out"
        assert cli("run", "--matrix", table, inputs["gmt"], "-o", out, "--no-refine", "--min-size", 20, "--quiet") == 0
        assert capsys.readouterr().out == ""
        assert {r["ranking"] for r in read_table(out / "results.tsv")} == {"kO", "shuffled"}

    @pytest.mark.parametrize(
        "args, message",
        [
            ("missing.rnk {gmt}", "No such file or directory"),
            ("{rnk} missing.gmt", "[Errno 2] No such file or directory: 'missing.gmt'"),
            ("{bad} {gmt}", "line 2: score 'high' of gene 'B' is not a number"),
            ("{rnk} {gmt} --min-size 50 --max-size 10", "--min-size (50) must not exceed --max-size (10)"),
            ("{rnk} {gmt} --no-refine --stable-calls 0.05", "which --no-refine turns off"),
            ("{rnk} {gmt} --sample-size 0", "--sample-size must be at least 3, not 0"),
            ("{gmt} {rnk}", "the GMT file must come last"),
            ("{gmt}", "give at least one RANKS file and the GENE_SETS file"),
            ("--matrix {rnk} {rnk} {gmt}", "with --matrix, give only the GENE_SETS file"),
            ("{lower} {gmt}", "the names differ in case: try --ignore-case"),
            ("{ensembl} {gmt}", "0 of 3,000 ranking genes occur in the gene sets"),
            ("{zeros} {gmt}", "all 3000 scores are equal (0.0)"),
        ],
    )
    def test_refusals_are_one_line_with_exit_2_and_no_output(self, inputs, tmp_path, capsys, args, message):
        out = tmp_path / "out"
        assert main(["run", *QUICK, *args.format(**inputs).split(), "-o", str(out)]) == 2
        err = capsys.readouterr().err
        assert err.startswith("rsvelmo: error: ") and message in err and err.count("\n") == 1
        assert not (out / "results.tsv").exists()

    def test_console_script_help_and_usage_errors(self, tmp_path):
        script = os.path.join(os.path.dirname(sys.executable), "rsvelmo")
        for command in ([script], [sys.executable, "-m", "rsvelmo"]):
            shown = subprocess.run([*command, "run", "--help"], capture_output=True, text=True)
            assert shown.returncode == 0
            assert "RANKS [RANKS ...] GENE_SETS -o OUTDIR" in shown.stdout and "examples:" in shown.stdout
            wrong = subprocess.run([*command, "run", "x.rnk"], capture_output=True, text=True)
            assert wrong.returncode == 2 and "required: -o/--out" in wrong.stderr
        wrong = subprocess.run([script, "run", "x.rnk", "s.gmt", "-o", "o", "--stable-calls", "off"],
                               capture_output=True, text=True)  # fmt: skip
        assert wrong.returncode == 2 and "--stable-calls: must be a number, 'auto' or 'none', not 'off'" in wrong.stderr


def test_interrupt_leaves_no_partial_file_and_exits_130(example_gmt, tmp_path):
    out = tmp_path / "out"
    rnk = os.path.join(os.path.dirname(example_gmt), "panc1_foxa2ko_vs_wt_t.rnk")
    # SIGALRM acts as Ctrl-C one second into the analysis of the bundled example.
    code = f"""
import signal, sys
from rsvelmo.cli import main
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 1.0)
sys.exit(main(["run", {rnk!r}, {example_gmt!r}, "-o", {str(out)!r}, "--quiet"]))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 130, done.stderr
    assert "interrupted; no results written" in done.stderr
    assert not out.exists() or os.listdir(out) == []


def test_a_run_touches_only_files_an_earlier_run_wrote(inputs, tmp_path, monkeypatch, capsys):
    out = tmp_path / "out"
    (out / "plots").mkdir(parents=True)
    mine = {"plots/fig1.pdf": "my figure", "old.results.tsv": "my table", ".rsvelmo-x.part": "half a file of ours"}
    for name, text in mine.items():
        (out / name).write_text(text)
    args = ["run", inputs["rnk"], inputs["gmt"], "-o", str(out), *QUICK]
    assert main(args + ["--plots", "--format", "svg"]) == 0
    assert (out / "plots" / "fig1.pdf").read_text() == "my figure" and (out / "old.results.tsv").exists()
    assert not (out / ".rsvelmo-x.part").exists()
    written = [o["path"] for o in json.loads((out / "run.json").read_text())["outputs"]]
    assert {"results.tsv", "run.json", "plots/summary.svg"} <= set(written) and "plots/fig1.pdf" not in written
    # Without --plots the earlier figures go; the user's stays, and so does the folder that holds it.
    assert main(args) == 0
    assert sorted(os.listdir(out / "plots")) == ["fig1.pdf"]
    assert [o["path"] for o in json.loads((out / "run.json").read_text())["outputs"]] == ["results.tsv", "run.json"]
    before = (out / "results.tsv").read_bytes()
    # A file of the user's in the way of an output stops the run before anything is written.
    (out / "report.html").write_text("my page")
    assert main(args + ["--report", "--seed", "3"]) == 2
    err = capsys.readouterr().err
    assert f"{out / 'report.html'} exists and was not written by an earlier run" in err and err.count("\n") == 1
    assert (out / "report.html").read_text() == "my page" and (out / "results.tsv").read_bytes() == before
    assert main(["run", inputs["rnk"], inputs["gmt"], "-o", str(out / "report.html"), *QUICK]) == 2
    assert "report.html is a file, not a folder" in capsys.readouterr().err
    (out / "run.json").write_text('{"made": "by another tool"}')
    assert main(args) == 2 and "run.json was not written by this version" in capsys.readouterr().err

    cells, real = [], rsvelmo.cli.run._cell

    def disk_full(value):  # the disk fills after some rows have been written
        cells.append(value)
        if len(cells) > 100:
            raise OSError(28, "No space left on device")
        return real(value)

    (out / "run.json").unlink()
    (out / "results.tsv").unlink()
    assert main(args) == 0
    before = (out / "results.tsv").read_bytes()
    monkeypatch.setattr(rsvelmo.cli.run, "_cell", disk_full)
    assert main(args + ["--seed", "3"]) == 2
    assert "No space left on device" in capsys.readouterr().err
    assert (out / "results.tsv").read_bytes() == before
    assert not any(name.endswith(".part") for name in os.listdir(out))


class TestRankingsAsUsersGiveThem:
    def test_a_pipe_and_standard_input_lose_no_gene(self, inputs, tmp_path):
        expected = tmp_path / "file"
        assert cli("run", inputs["rnk"], inputs["gmt"], "-o", expected, *QUICK) == 0
        script = os.path.join(os.path.dirname(sys.executable), "rsvelmo")
        text = pathlib.Path(inputs["rnk"]).read_text()
        for source in ("-", "/dev/stdin"):
            out = tmp_path / source.replace("/", "_")
            argv = [
                script,
                "run",
                source,
                inputs["gmt"],
                "-o",
                out,
                "--min-size",
                "20",
                "--max-size",
                "200",
                "--no-refine",
            ]
            done = subprocess.run(argv, input=text, capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
            assert "genes from column 'gene' (1st of 2), scores from column 't' (2nd of 2), 3,000 genes" in done.stderr
            assert (out / "results.tsv").read_bytes() == (expected / "results.tsv").read_bytes()
            facts = json.loads((out / "run.json").read_text())
            assert facts["inputs"][0]["sha256"] == hashlib.sha256(text.encode()).hexdigest()

    def test_a_long_table_runs_one_ranking_per_group(self, inputs, tmp_path, capsys):
        long = tmp_path / "groups.csv"
        rows = list(inputs["ranks"].items())
        groups = (("up", 1), ("down", -1))
        lines = [f"{i},{group},{g},{sign * s!r}\n" for group, sign in groups for i, (g, s) in enumerate(rows)]
        long.write_text(",group,names,scores\n" + "".join(lines))
        out = tmp_path / "out"
        base = ["run", long, inputs["gmt"], "-o", out, *QUICK, "--score-col", "scores"]
        assert cli(*base, "--duplicates", "first") == 2
        err = capsys.readouterr().err
        assert (
            "once per value of column 'group'" in err and "with --group-col group" in err and "--duplicates" not in err
        )
        assert cli(*base, "--group-col", "group") == 0
        table = read_table(out / "results.tsv")
        assert {r["ranking"] for r in table} == {"up", "down"} and (out / "down.results.tsv").exists()
        nes = {(r["ranking"], r["pathway"]): float(r["nes"]) for r in table}
        assert all(nes[("down", p)] == pytest.approx(-v, abs=0.3) for (k, p), v in nes.items() if k == "up")

    def test_the_summary_uses_the_padj_cut(self, inputs, tmp_path, capsys):
        assert cli("run", inputs["rnk"], inputs["gmt"], "-o", tmp_path / "o", "--no-refine", "--min-size", 20,
                   "--max-size", 200, "--padj", 0.5) == 0  # fmt: skip
        out = capsys.readouterr()
        assert "  padj < 0.5: " in out.out and "padj < 0.05" not in out.out
        assert "panc1.rnk: genes from column 'gene'" in out.err


@pytest.mark.parametrize("several", [False, True])
def test_a_runs_options_are_checked_once_and_converted_once(inputs, tmp_path, monkeypatch, several):
    from rsvelmo import _options

    calls = {"validate": 0, "engine_options": 0}
    for name in calls:
        original = getattr(_options, name)

        def counted(*args, _original=original, _name=name, **kwargs):
            calls[_name] += 1
            return _original(*args, **kwargs)

        for module in [m for n, m in sys.modules.items() if n.startswith("rsvelmo")]:
            if getattr(module, name, None) is original:
                monkeypatch.setattr(module, name, counted)
    rankings = [inputs["rnk"], inputs["lower"]] if several else [inputs["rnk"]]
    assert cli("run", *rankings, inputs["gmt"], "-o", tmp_path / "out", *QUICK, "--ignore-case") == 0
    assert calls == {"validate": 1, "engine_options": 1}
