import csv
import os
import subprocess
import sys

import pytest

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
        lines = [l for l in f if 20 <= sum(g in kept for g in l.rstrip("\n").split("\t")[2:]) <= 200]
    gmt = folder / "sets.gmt"
    gmt.write_text("".join(lines[::20][:25]))
    return {"rnk": str(rnk), "gmt": str(gmt), "ranks": {g: example_ranks[g] for g in genes}}


def read_table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def cli(*args):
    return main([str(a) for a in args])


class TestRun:
    def test_end_to_end(self, inputs, tmp_path, capsys):
        out = tmp_path / "out"
        assert cli("run", inputs["rnk"], inputs["gmt"], "-o", out, "--min-size", 20, "--max-size", 200,
                   "--top", 3) == 0
        rows = read_table(out / "results.tsv")
        records = {r["pathway"]: r for r in rsvelmopy.run_gsea_py(inputs["ranks"], inputs["gmt"], minSize=20,
                                                                  maxSize=200)}
        assert len(rows) == len(records) == 25
        for row in rows:
            record = records[row["pathway"]]
            for name in ("es", "nes", "pval", "padj", "log2err"):
                value = record[name]
                assert row[name] == ("NA" if value is None or value != value else repr(value))
                if row[name] != "NA":
                    assert float(row[name]) == value  # full precision survives the text
            assert row["leading_edge"].split(",") == record["leading_edge"]
            assert int(row["leading_edge_size"]) == len(record["leading_edge"])
            assert row["description"]  # the GO term name of the GMT file
        assert [float(r["pval"]) for r in rows] == sorted(float(r["pval"]) for r in rows)
        printed = capsys.readouterr().out
        assert "3000 genes, 25 gene sets read, 25 tested (sizes 20 to 200)" in printed
        assert "padj < 0.05:" in printed and "top up:" in printed and "top down:" in printed
        assert f"results: {out / 'results.tsv'}" in printed

    def test_several_rankings_and_plots(self, inputs, tmp_path, capsys):
        negated = tmp_path / "negated.rnk"
        negated.write_text("".join(f"{g}\t{-s!r}\n" for g, s in inputs["ranks"].items()))
        out = tmp_path / "out"
        assert cli("run", inputs["rnk"], negated, inputs["gmt"], "-o", out, "--mode", "simple",
                   "--min-size", 20, "--max-size", 200, "--top", 2, "--plots", "--threads", 2) == 0
        combined = read_table(out / "results.tsv")
        assert {r["ranking"] for r in combined} == {"panc1", "negated"}
        for name in ("panc1", "negated"):
            own = read_table(out / f"{name}.results.tsv")
            assert own == [{k: v for k, v in r.items() if k != "ranking"} for r in combined
                           if r["ranking"] == name]
            pngs = sorted(os.listdir(out / "plots" / name))
            up = sum(float(r["nes"]) > 0 for r in own)
            assert "summary.png" in pngs and len(pngs) == 1 + min(up, 2) + min(len(own) - up, 2)
            for png in pngs:
                data = (out / "plots" / name / png).read_bytes()
                assert data.startswith(b"\x89PNG") and len(data) > 10_000  # drawn, not blank
        nes = {(r["ranking"], r["pathway"]): float(r["nes"]) for r in combined}
        assert all(nes[("negated", p)] < 0 for (k, p), v in nes.items() if k == "panc1" and v > 0)

    def test_matrix(self, inputs, tmp_path, capsys):
        table = tmp_path / "m.tsv"
        table.write_text("gene\tkO\tshuffled\n" +
                         "".join(f"{g}\t{s!r}\t{-s!r}\n" for g, s in inputs["ranks"].items()))
        out = tmp_path / "out"
        assert cli("run", "--matrix", table, inputs["gmt"], "-o", out, "--mode", "simple", "--min-size", 20,
                   "--quiet") == 0
        assert capsys.readouterr().out == ""
        assert {r["ranking"] for r in read_table(out / "results.tsv")} == {"kO", "shuffled"}

    @pytest.mark.parametrize("args, message", [
        (["missing.rnk", "{gmt}"], "No such file or directory"),
        (["{rnk}", "missing.gmt"], "gene set file not found: missing.gmt"),
        (["{bad}", "{gmt}"], "line 2: score 'high' of gene 'B' is not a number"),
        (["{rnk}", "{gmt}", "--min-size", "50", "--max-size", "10"], "--min-size 50 exceeds --max-size 10"),
        (["{rnk}", "{gmt}", "--sample-size", "0"], "sampleSize"),
        (["{gmt}"], "give at least one RANKS file and the GENE_SETS file"),
        (["--matrix", "{rnk}", "{rnk}", "{gmt}"], "with --matrix, give only the GENE_SETS file"),
    ])
    def test_bad_input_is_one_line_and_exit_2(self, inputs, tmp_path, capsys, args, message):
        bad = tmp_path / "bad.rnk"
        bad.write_text("A\t1\nB\thigh\n")
        paths = {"rnk": inputs["rnk"], "gmt": inputs["gmt"], "bad": str(bad)}
        argv = ["run", *(a.format(**paths) for a in args), "-o", str(tmp_path / "out")]
        assert main(argv) == 2
        err = capsys.readouterr().err
        assert err.startswith("rsvelmo: error: ") and message in err
        assert err.count("\n") == 1 and "Traceback" not in err

    def test_console_script_help_and_usage_errors(self, tmp_path):
        script = os.path.join(os.path.dirname(sys.executable), "rsvelmo")
        for command in ([script], [sys.executable, "-m", "rsvelmo"]):
            shown = subprocess.run([*command, "run", "--help"], capture_output=True, text=True)
            assert shown.returncode == 0
            assert "RANKS [RANKS ...] GENE_SETS -o OUTDIR" in shown.stdout and "examples:" in shown.stdout
            wrong = subprocess.run([*command, "run", "x.rnk"], capture_output=True, text=True)
            assert wrong.returncode == 2 and "required: -o/--out" in wrong.stderr
