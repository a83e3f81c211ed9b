import gzip
import warnings

import pytest

from rsvelmo import RankingError, read_gmt, read_matrix, read_ranks, write_gmt
from rsvelmo.io import ranking_warnings, read_gmt_entries


def write(tmp_path, name, text):
    path = tmp_path / name
    if name.endswith(".gz"):
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    return str(path)


class TestReadRanks:
    def test_rnk_with_header_comments_blank_lines_and_crlf(self, tmp_path):
        path = write(tmp_path, "a.rnk", "# produced by limma\r\ngene\tt\r\n\r\nA\t2.5\r\nB\t-1e-3\r\n  \nC\t0\n")
        assert read_ranks(path) == {"A": 2.5, "B": -0.001, "C": 0.0}

    def test_order_is_kept(self, tmp_path):
        path = write(tmp_path, "a.rnk", "Z\t1\nA\t1\nM\t3\n")
        assert list(read_ranks(path)) == ["Z", "A", "M"]

    def test_csv_and_gzip_with_column_choice(self, tmp_path):
        text = "id,symbol,logFC,t\n1,A,0.5,3.0\n2,B,-0.2,-1.5\n"
        for name in ("t.csv", "t.csv.gz"):
            path = write(tmp_path, name, text)
            assert read_ranks(path, gene_col="symbol", score_col="t") == {"A": 3.0, "B": -1.5}
            assert read_ranks(path, gene_col=1, score_col=2) == {"A": 0.5, "B": -0.2}

    def test_tsv_by_name_without_matching_column(self, tmp_path):
        path = write(tmp_path, "t.tsv", "gene\tscore\nA\t1\n")
        with pytest.raises(RankingError, match="no column named 'stat'.*columns: gene, score"):
            read_ranks(path, score_col="stat")

    @pytest.mark.parametrize("cell, message", [
        ("abc", r"line 3: score 'abc' of gene 'B' is not a number"),
        ("nan", r"line 3: score of gene 'B' is nan; scores must be finite"),
        ("-inf", r"line 3: score of gene 'B' is -inf"),
    ])
    def test_bad_scores_name_file_line_and_gene(self, tmp_path, cell, message):
        path = write(tmp_path, "bad.rnk", f"gene\tscore\nA\t1\nB\t{cell}\n")
        with pytest.raises(RankingError, match=message) as e:
            read_ranks(path)
        assert "bad.rnk" in str(e.value)

    def test_short_rows_and_empty_names(self, tmp_path):
        with pytest.raises(RankingError, match="line 2: expected at least 2 columns"):
            read_ranks(write(tmp_path, "a.rnk", "A\t1\nB\n"))
        with pytest.raises(RankingError, match="line 1: empty gene name"):
            read_ranks(write(tmp_path, "b.rnk", " \t1\n"))

    def test_duplicates(self, tmp_path):
        path = write(tmp_path, "d.rnk", "A\t1\nB\t-3\nA\t-2\nB\t1\nC\t0\n")
        with pytest.raises(RankingError, match=r"2 gene name\(s\) occur more than once \('A', 'B'\)"):
            read_ranks(path)
        assert read_ranks(path, duplicates="first") == {"A": 1.0, "B": -3.0, "C": 0.0}
        assert read_ranks(path, duplicates="max_abs") == {"A": -2.0, "B": -3.0, "C": 0.0}
        assert read_ranks(path, duplicates="mean") == {"A": -0.5, "B": -1.0, "C": 0.0}
        with pytest.raises(ValueError, match="duplicates must be one of"):
            read_ranks(path, duplicates="last")

    def test_many_duplicates_are_cut_short(self, tmp_path):
        path = write(tmp_path, "d.rnk", "".join(f"G{i}\t1\nG{i}\t2\n" for i in range(8)))
        with pytest.raises(RankingError, match=r"8 gene name\(s\).*'G4', \.\.\."):
            read_ranks(path)

    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            read_ranks(tmp_path / "none.rnk")


class TestReadMatrix:
    def test_columns_become_rankings_and_na_cells_are_left_out(self, tmp_path):
        path = write(tmp_path, "m.tsv", "gene\tc1\tc2\nA\t1\tNA\nB\t-2\t3\nC\t\t0.5\n")
        assert read_matrix(path) == {"c1": {"A": 1.0, "B": -2.0}, "c2": {"B": 3.0, "C": 0.5}}

    def test_errors(self, tmp_path):
        with pytest.raises(RankingError, match="line 3: expected 3 columns, found 2"):
            read_matrix(write(tmp_path, "a.tsv", "gene\tc1\tc2\nA\t1\t2\nB\t1\n"))
        with pytest.raises(RankingError, match="line 2: score 'x' of gene 'A'"):
            read_matrix(write(tmp_path, "b.tsv", "gene\tc1\nA\tx\n"))
        with pytest.raises(RankingError, match="no score columns"):
            read_matrix(write(tmp_path, "c.tsv", "gene\nA\n"))
        with pytest.raises(RankingError, match="the table is empty"):
            read_matrix(write(tmp_path, "d.tsv", "# nothing\n"))


class TestGmt:
    def test_round_trip_and_descriptions(self, tmp_path):
        path = str(tmp_path / "s.gmt")
        write_gmt({"S1": ["A", "B"], "S2": ("C",)}, path)
        assert read_gmt(path) == {"S1": ["A", "B"], "S2": ["C"]}
        path2 = write(tmp_path, "d.gmt", "S1\tfirst set\tA\t \tB\r\n\nS1\tagain\tC\n")
        assert read_gmt_entries(path2) == [("S1", "first set", ["A", "B"]), ("S1", "again", ["C"])]
        assert read_gmt(path2) == {"S1": ["A", "B"]}

    def test_write_refuses_tabs_and_line_breaks(self, tmp_path):
        with pytest.raises(ValueError, match="without tabs or line breaks"):
            write_gmt({"S\t1": ["A"]}, tmp_path / "x.gmt")
        with pytest.raises(ValueError, match="without tabs or line breaks"):
            write_gmt({"S1": ["A\nB"]}, tmp_path / "x.gmt")


class TestRankingWarnings:
    def test_ties_are_counted_like_the_engine(self):
        ranks = {"A": 1.0, "B": 1.0, "C": 1.0, "D": 0.0, "E": -0.0, "F": -2.0}
        with pytest.warns(UserWarning, match=r"detected 2 tied non-zero ranking scores \(33\.33% of genes\)"):
            ranking_warnings(ranks, "pos")

    def test_all_positive_under_std_only(self):
        with pytest.warns(UserWarning, match="consider scoreType='pos'"):
            ranking_warnings({"A": 1.0, "B": 2.0}, "std")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            ranking_warnings({"A": 1.0, "B": 2.0}, "pos")
            ranking_warnings({"A": 1.0, "B": 0.0}, "std")
