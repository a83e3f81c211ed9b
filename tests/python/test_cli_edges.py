"""The command line where users' files and habits meet its edges: names
that collide, summaries that must describe results.tsv, gene sets left
untested, a worker killed, unsigned statistics, options between the
positionals and empty gene-set files."""

import csv
import math
import pathlib
import re
import signal
import warnings

import pytest
import rsvelmo
import rsvelmo.cli.run
from rsvelmo._results import floor_flip_risk
from rsvelmo.analyses.many import run_tasks
from rsvelmo.cli import build_parser, main

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "tables"
QUICK = ["--no-refine", "--nperm", "200", "--min-size", "10", "--max-size", "300"]


@pytest.fixture(scope="module")
def small(tmp_path_factory, example_ranks, example_gmt):
    """2,000 real genes and the 30 real gene sets that overlap them most."""
    folder = tmp_path_factory.mktemp("small")
    genes = list(example_ranks)[::5][:2000]
    kept = set(genes)
    with open(example_gmt) as f:
        lines = sorted(f, key=lambda line: -sum(g in kept for g in line.rstrip("\n").split("\t")[2:]))
    (folder / "sets.gmt").write_text("".join(lines[:30]))
    text = "".join(f"{g}\t{example_ranks[g]!r}\n" for g in genes)
    return folder, text, str(folder / "sets.gmt")


def table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


@pytest.mark.parametrize(
    "names, expected",
    [
        (["x", "x", "x_2"], ["x", "x_3", "x_2"]),  # a generated x_2 would take the file of a given x_2
        (["a b", "a_b"], ["a b", "a_b_2"]),  # one safe file name, a_b
        (["X", "x"], ["X", "x_2"]),  # one file in a folder that ignores case
        (["x", "x", "x", "x_2", "x_3"], ["x", "x_4", "x_5", "x_2", "x_3"]),
    ],
)
def test_names_whose_files_collide_are_made_distinct(names, expected):
    assert rsvelmo.cli.run._unique(names) == expected
    assert len({rsvelmo.cli.run._file_key(n) for n in expected}) == len(names)


@pytest.mark.parametrize(
    "files, tables",
    [
        (["a/x.rnk", "b/x.rnk", "a/x_2.rnk"], {"x": "a/x.rnk", "x_3": "b/x.rnk", "x_2": "a/x_2.rnk"}),
        (["a b.rnk", "a_b.rnk"], {"a_b": "a b.rnk", "a_b_2": "a_b.rnk"}),
    ],
)
def test_rankings_with_colliding_names_each_keep_their_results(small, tmp_path, capsys, files, tables):
    folder, text, gmt = small
    lines = text.splitlines(keepends=True)
    for i, name in enumerate(files):  # each ranking its own: a different part of the genes
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("".join(lines[i * 100 :]))
    assert main(["run", *(str(tmp_path / f) for f in files), gmt, "-o", str(tmp_path / "out"), *QUICK]) == 0
    err = capsys.readouterr().err
    for stem, source in tables.items():
        rows = table(tmp_path / "out" / f"{stem}.results.tsv")
        genes = {g for line in lines[files.index(source) * 100 :] for g in [line.split("\t")[0]]}
        assert rows and all(set(r["leading_edge"].split(",")) <= genes for r in rows if r["leading_edge"])
    assert len({r["ranking"] for r in table(tmp_path / "out" / "results.tsv")}) == len(files)
    renamed = [line for line in err.splitlines() if " is written as " in line]
    first, second = list(tables)[:2]
    said = f"{files[1]} is written as {second!r} (the file name of {first!r} is taken)"
    assert len(renamed) == 1 and renamed[0].endswith(said)


def test_the_collapsed_summary_counts_the_rows_of_results_tsv(small, tmp_path, capsys):
    folder, text, gmt = small
    (tmp_path / "r.rnk").write_text(text)
    assert main(["run", str(tmp_path / "r.rnk"), gmt, "-o", str(tmp_path / "o"), "--collapse", "--padj", "0.5",
                 *QUICK]) == 0  # fmt: skip
    out = capsys.readouterr().out
    tested, hits, up, down, clusters = map(
        int, re.search(r"(\d+) tested.*\n.*: (\d+) gene sets \((\d+) up, (\d+) down\) in (\d+) clusters", out).groups()
    )
    rows = table(tmp_path / "o" / "results.tsv")
    called = [r for r in rows if r["padj"] != "NA" and float(r["padj"]) < 0.5]
    assert tested == len(rows) and hits == len(called) > clusters > 0
    assert (up, down) == (sum(float(r["nes"]) > 0 for r in called), sum(float(r["nes"]) < 0 for r in called))
    assert clusters == len({r["representative"] if r["representative"] != "NA" else r["pathway"] for r in called})


def test_gene_sets_left_untested_are_counted_with_their_reason(tmp_path, capsys):
    genes = [f"G{i}" for i in range(200)]
    (tmp_path / "r.rnk").write_text("".join(f"{g}\t{(i * 37 % 200) - 99.5}\n" for i, g in enumerate(genes)))
    (tmp_path / "s.gmt").write_text(
        "ALL\tall\t" + "\t".join(genes) + "\nSMALL\ts\t" + "\t".join(genes[:5]) + "\nMID\tm\t" + "\t".join(genes[:40])
    )
    args = [str(tmp_path / "r.rnk"), str(tmp_path / "s.gmt"), "--min-size", "10", "--max-size", "25000", "--no-refine"]
    assert main(["run", *args, "-o", str(tmp_path / "o")]) == 0
    first = capsys.readouterr().out.splitlines()[0]
    assert first.endswith(
        "3 gene sets read, 1 tested (sizes 10 to 25000): 1 outside --min-size/--max-size, "
        "1 holding every gene of the ranking (none left to compare with)"
    )


def test_a_killed_worker_is_one_line_naming_the_ranking(small, tmp_path, capsys, monkeypatch):
    with pytest.raises(ChildProcessError, match=r"stopped abruptly .* before ranking 'first' was analysed"):
        run_tasks(signal.raise_signal, {"first": (signal.SIGKILL,), "second": (signal.SIGKILL,)}, unit="ranking")

    def killed(tables, *args, **kwargs):
        return run_tasks(signal.raise_signal, {name: (signal.SIGKILL,) for name in tables}, unit="ranking")

    folder, text, gmt = small
    (tmp_path / "a.rnk").write_text(text)
    (tmp_path / "b.rnk").write_text(text)
    monkeypatch.setattr(rsvelmo.cli.run, "run_many", killed)
    files = [str(tmp_path / "a.rnk"), str(tmp_path / "b.rnk"), gmt]
    assert main(["run", *files, "-o", str(tmp_path / "o"), "--quiet", *QUICK]) == 1
    assert capsys.readouterr().err == (
        "rsvelmo: error: a worker process stopped abruptly (killed, or out of memory) before ranking 'a' was "
        "analysed; no results written\n"
    )
    assert not (tmp_path / "o" / "results.tsv").exists()


@pytest.mark.parametrize(
    "header, unsigned",
    [("logFC\tlogCPM\tF\tPValue\tFDR", "F"), ("logFC\tlogCPM\tLR\tPValue\tFDR", "LR")],
)
def test_an_unsigned_statistic_is_never_advised(tmp_path, capsys, header, unsigned):
    path = tmp_path / "edger.tsv"
    path.write_text(f"gene\t{header}\nA\t-1.5\t5\t7.1\t0.01\t0.2\nB\t1.1\t4\t3.2\t0.05\t0.3\n")
    paths = [path, DATA / "edger_default.txt"] if unsigned == "F" else [path]
    for p in paths:
        assert main(["run", str(p), "go_bp", "-o", str(tmp_path / "o")]) == 2
        err = capsys.readouterr().err
        assert f"--score-col {unsigned}" not in err and f"usually {unsigned!r}" not in err
        advice = f"whose {unsigned!r} has no sign (up and down look alike): rank by 'logFC', or add a signed column "
        assert advice + f"sign(logFC)*sqrt({unsigned}) and rank by that" in err


def test_an_option_between_the_positionals(tmp_path):
    args = build_parser().parse_args(["run", "de.csv", "--score-col", "t", "sets.gmt", "-o", str(tmp_path), "--plots"])
    assert args.files == ["de.csv", "sets.gmt"] and args.score_col == "t" and args.plots
    args = build_parser().parse_args(["score", "x.gct", "--method", "zscore", "sets.gmt", "-o", "o"])
    assert (args.expression, args.gene_sets, args.method) == ("x.gct", "sets.gmt", "zscore")


def test_an_empty_gene_set_file_says_so(small, tmp_path, capsys):
    folder, text, gmt = small
    (tmp_path / "r.rnk").write_text(text)
    assert main(["run", str(tmp_path / "r.rnk"), "/dev/null", "-o", str(tmp_path / "o")]) == 2
    assert capsys.readouterr().err == "rsvelmo: error: /dev/null: no gene sets (the file is empty; a GMT file " \
        "has one gene set per line)\n"  # fmt: skip


def test_help_texts_say_what_each_switch_does():
    run = build_parser()._subparsers._group_actions[0].choices["run"]
    helps = {a.option_strings[0]: a.help for a in run._actions if a.option_strings}
    assert helps["--no-refine"] != helps["--refine-all"]
    assert "permutations only" in helps["--no-refine"] and "every p-value" in helps["--refine-all"]
    validate = build_parser()._subparsers._group_actions[0]._choices_actions
    assert "half a minute" in next(a.help for a in validate if a.dest == "validate")
    assert "half a minute" in build_parser()._subparsers._group_actions[0].choices["validate"].description
    assert "JSON" in rsvelmo.gsea.__doc__ and "'go_bp'" in rsvelmo.gsea.__doc__


@pytest.mark.parametrize(
    "risk, shown",
    [
        (0.5 * math.erfc(6 / math.sqrt(2)), 0.0),  # six errors from the line: a tail of 1e-9, below the floor
        (0.5 * math.erfc(4 / math.sqrt(2)), 0.5 * math.erfc(4 / math.sqrt(2))),  # four: 3.2e-5, kept
        (1e-6, 1e-6),
        (None, None),
    ],
)
def test_flip_risk_below_the_floor_is_zero(risk, shown):
    records = [{"flip_risk": risk}]
    floor_flip_risk(records)
    assert records[0]["flip_risk"] == shown


def test_a_matrix_says_what_was_read_and_counts_its_empty_cells(small, tmp_path, capsys):
    folder, text, gmt = small
    rows = [line.split("\t") for line in text.splitlines()]
    cells = lambda i, s: ("NA" if i % 7 == 0 else s, "" if i % 11 == 0 else s)  # noqa: E731
    body = "".join(f"{g}\t" + "\t".join(cells(i, s.strip())) + "\n" for i, (g, s) in enumerate(rows))
    (tmp_path / "m.tsv").write_text("gene\tc1\tc2\n" + body)
    na1, na2 = sum(i % 7 == 0 for i in range(len(rows))), sum(i % 11 == 0 for i in range(len(rows)))
    said = f"{na1 + na2:,} empty or NA cells, each leaving its gene out of that column's ranking ('c1' {na1:,}, "
    with warnings.catch_warnings():
        warnings.simplefilter("default")  # shown as the command line shows them
        assert main(["run", "--matrix", str(tmp_path / "m.tsv"), gmt, "-o", str(tmp_path / "o"), *QUICK]) == 0
    err = capsys.readouterr().err
    assert f"rsvelmo: warning: {tmp_path / 'm.tsv'}: {said}'c2' {na2:,})\n" in err
    assert f"one ranking per column besides the genes: 'c1' ({len(rows) - na1:,} genes), " \
        f"'c2' ({len(rows) - na2:,} genes)" in err  # fmt: skip
