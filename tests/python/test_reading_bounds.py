"""What a ranking reader refuses rather than guesses or swallows: a stray
quote that would join lines into one gene, input without end or without
line breaks, and column lists too long to print."""

import gzip
import io
import os
import sys

import pytest
import rsvelmo.readers.tables as tables
from rsvelmo import read_ranks
from rsvelmo._errors import RankingError
from rsvelmo.cli import main

GENES = 11_093  # the length of the file in which two quotes merged 100 lines silently


def ranking(changes, n=GENES, sep="\t"):
    """A ranking of `n` genes with some lines (1-based number -> text) replaced."""
    lines = [f"G{i}{sep}{(i % 997) / 10 - 50!r}\n" for i in range(1, n + 1)]
    for number, text in changes.items():
        lines[number - 1] = text
    return "".join(lines)


class TestStrayQuotes:
    @pytest.mark.parametrize(
        "text, message",
        [
            (
                ranking({100: '"FOO\t1.5\n', 200: 'BAR"\t2.0\n'}),
                'line 100: a quote (") opens a cell that runs on to line 200; no gene name or score holds a line '
                "break: remove the stray quote",
            ),
            (
                ranking({100: '"FOO\t1.5\n'}, n=30_000),  # never closed: the cell grows to the csv module's limit
                'line 100: a quote (") opens a cell that has not closed by line 7511; remove the stray quote',
            ),
            (
                ranking({5000: '"FOO\t1.5\n', 5100: 'BAR"\t2.0\n'}),  # beyond the rows that choose the separator
                'line 5000: a quote (") opens a cell that runs on to line 5100; no gene name or score holds a line '
                "break: remove the stray quote",
            ),
            (
                ranking({100: 'FOO,"1.5\n', 200: 'BAR,2.0"\n'}, sep=","),
                'line 100: a quote (") opens a cell that runs on to line 200; no gene name or score holds a line '
                "break: remove the stray quote",
            ),
            (
                ranking({100: '"FOO\t1.5"\t2\n'}),
                "line 100: the quoted cell 'FOO\\t1.5' holds a tab; no gene name or score does: "
                "remove the stray quotes",
            ),
        ],
        ids=["two-quotes-100-lines-apart", "never-closed", "late", "comma-table", "tab-inside-quotes"],
    )
    def test_a_stray_quote_is_refused_where_it_opens(self, tmp_path, text, message):
        path = tmp_path / "x.rnk"
        path.write_text(text)
        with pytest.raises(RankingError) as e:
            read_ranks(path)
        assert str(e.value) == f"{path}, {message}"

    def test_quoted_cells_on_one_line_still_read(self, tmp_path):
        path = tmp_path / "x.csv"
        path.write_text('"gene","t"\n"A, B",1.5\n"C",-2\n"D ""x""",0.5\n')
        assert read_ranks(path).to_dict() == {"A, B": 1.5, "C": -2.0, 'D "x"': 0.5}

    def test_the_command_line_says_it_in_one_line(self, tmp_path, write_gmt, capsys):
        path = tmp_path / "x.rnk"
        path.write_text(ranking({100: '"FOO\t1.5\n', 200: 'BAR"\t2.0\n'}))
        gmt = write_gmt("S\td\t" + "\t".join(f"G{i}" for i in range(1, 40)) + "\n")
        assert main(["run", str(path), gmt, "-o", str(tmp_path / "out")]) == 2
        err = capsys.readouterr().err
        assert err.startswith(f"rsvelmo: error: {path}, line 100: a quote") and err.count("\n") == 1
        assert not (tmp_path / "out").exists()


class Endless(io.RawIOBase):
    """A stream that never ends, repeating `unit`."""

    def __init__(self, unit: bytes):
        self.unit = unit

    def readable(self):
        return True

    def readinto(self, buffer):
        n = len(buffer) - len(buffer) % len(self.unit)
        buffer[:n] = self.unit * (n // len(self.unit))
        return n


class TestBounds:
    def test_dev_zero_is_refused_at_once(self, tmp_path, write_gmt, capsys):
        with pytest.raises(RankingError, match="^/dev/zero: this is a binary file, not a text table$"):
            read_ranks("/dev/zero")
        assert main(["run", "/dev/zero", write_gmt("S\td\tA\tB\n"), "-o", str(tmp_path / "out")]) == 2
        assert capsys.readouterr().err == "rsvelmo: error: /dev/zero: this is a binary file, not a text table\n"

    @pytest.mark.parametrize(
        "unit, bound, message",
        [
            (
                b"ACGT",
                "MAX_LINE",
                "<stdin>, line 1: longer than 64 KiB without a line break; this is not a table of genes",
            ),
            (
                b"G\t1.5\n",
                "MAX_BYTES",
                "<stdin>: more than 64 KiB; a table of genes is far smaller: is this the right file?",
            ),
            (b"\0", "MAX_LINE", "<stdin>: this is a binary file, not a text table"),
        ],
        ids=["no-line-breaks", "no-end", "zeros"],
    )
    def test_endless_standard_input_is_refused(self, monkeypatch, unit, bound, message):
        monkeypatch.setattr(tables, bound, 1 << 16)  # the bounds are 1 GiB and 16 MiB: the same code, sooner
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(Endless(unit))))
        with pytest.raises(RankingError) as e:
            read_ranks("-")
        assert str(e.value) == message

    @pytest.mark.parametrize(
        "data, message",
        [
            (
                b"G\t1.5\n" * 20_000,
                "more than 64 KiB uncompressed; a table of genes is far smaller: is this the right file?",
            ),
            (b"G" * 40_000, "line 1: longer than 32 KiB without a line break; this is not a table of genes"),
        ],
        ids=["expands-too-far", "one-long-line"],
    )
    def test_gzip_is_bounded_by_what_it_expands_to(self, tmp_path, monkeypatch, data, message):
        monkeypatch.setattr(tables, "MAX_BYTES", 1 << 16)
        monkeypatch.setattr(tables, "MAX_LINE", 1 << 15)
        path = tmp_path / "x.rnk.gz"
        path.write_bytes(gzip.compress(data))
        assert os.path.getsize(path) < 1 << 16
        with pytest.raises(RankingError) as e:
            read_ranks(path)
        assert str(e.value) in (f"{path}: {message}", f"{path}, {message}")


def test_a_million_columns_give_a_short_message(tmp_path):
    n = 1_000_000
    path = tmp_path / "wide.tsv"
    cells = "\t".join(["1"] * n)
    path.write_text("gene\t" + "\t".join(f"S{i}" for i in range(n)) + f"\nA\t{cells}\nB\t{cells}\n")
    with pytest.raises(RankingError) as e:
        read_ranks(path)
    shown = ", ".join(f"'S{i}'" for i in range(10))
    assert str(e.value) == (
        f"{path} has 1000000 columns that could be the ranking score ({shown} and 999,990 more); say which with "
        "score_col="
    )
    with pytest.raises(RankingError) as e:
        read_ranks(path, score_col="t")
    assert str(e.value).endswith("'S8' and 999,991 more)") and len(str(e.value)) < 300
