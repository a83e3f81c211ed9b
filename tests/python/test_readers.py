import gzip
import warnings

import pytest
from rsvelmo import RankingError, RankingWarning, read_gmt, read_matrix, read_ranks, write_gmt
from rsvelmo.io import check_ranking, read_gmt_descriptions


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
        with pytest.raises(RankingError, match="no column named 'stat'.*columns: 'gene', 'score'"):
            read_ranks(path, score_col="stat")

    @pytest.mark.parametrize(
        "cell, message",
        [
            ("abc", r"line 3: score 'abc' of gene 'B' is not a number"),
            ("inf", r"line 3: score of gene 'B' is inf; scores must be finite"),
            ("-inf", r"line 3: score of gene 'B' is -inf"),
        ],
    )
    def test_bad_scores_name_file_line_and_gene(self, tmp_path, cell, message):
        path = write(tmp_path, "bad.rnk", f"gene\tscore\nA\t1\nB\t{cell}\n")
        with pytest.raises(RankingError, match=message) as e:
            read_ranks(path)
        assert "bad.rnk" in str(e.value)

    def test_short_rows_and_empty_names(self, tmp_path):
        with pytest.raises(RankingError, match="line 2: expected at least 2 columns"):
            read_ranks(write(tmp_path, "a.rnk", "A\t1\nB\n"))
        with pytest.raises(RankingError, match="line 1: a ranking needs two columns.*found 1"):
            read_ranks(write(tmp_path, "c.rnk", "A 1\nB 2\n"))
        with pytest.raises(RankingError, match="line 1: empty gene name"):
            read_ranks(write(tmp_path, "b.rnk", " \t1\n"))

    def test_duplicates(self, tmp_path):
        path = write(tmp_path, "d.rnk", "A\t1\nB\t-3\nA\t-2\nB\t1\nC\t0\n")
        with pytest.raises(RankingError, match=r"2 gene name\(s\) occur more than once \('A', 'B'\)"):
            read_ranks(path)
        for policy, expected in [
            ("first", {"A": 1.0, "B": -3.0, "C": 0.0}),
            ("max_abs", {"A": -2.0, "B": -3.0, "C": 0.0}),
            ("mean", {"A": -0.5, "B": -1.0, "C": 0.0}),
        ]:
            with pytest.warns(RankingWarning, match=rf"collapsed 2 gene name\(s\).*duplicates='{policy}'"):
                assert read_ranks(path, duplicates=policy) == expected
        for bad in ("last", "Mean", "bogus"):
            with pytest.raises(
                ValueError, match=f"duplicates must be one of 'error', 'first', 'max_abs', 'mean', not '{bad}'"
            ):
                read_ranks(path, duplicates=bad)

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


class TestRealFileShapes:
    """Files as other tools write them, and what each gives."""

    def test_deseq2_csv_needs_its_score_column_named(self, tmp_path):
        text = (
            '"","baseMean","log2FoldChange","lfcSE","stat","pvalue","padj"\n"A",10,1.5,0.2,7.5,0.001,0.01\n'
            '"B",20,-0.5,0.3,-1.6,0.1,0.3\n'
        )
        path = write(tmp_path, "res.csv", text)
        with pytest.raises(RankingError) as e:
            read_ranks(path)
        assert str(e.value) == (
            f"{path} has 7 columns ('', 'baseMean', 'log2FoldChange', 'lfcSE', 'stat', 'pvalue', "
            "'padj'); say which one holds the ranking score with score_col= (--score-col on the "
            "command line); this looks like a DESeq2 results table, whose ranking score is "
            "usually 'stat'"
        )
        assert read_ranks(path, score_col="stat") == {"A": 7.5, "B": -1.6}

    @pytest.mark.parametrize(
        "header, column",
        [
            ("ID\tlogFC\tAveExpr\tt\tP.Value", "t"),
            ("names\tscores\tlogfoldchanges\tpvals", "scores"),
            ("gene\tp_val\tavg_log2FC\tpct.1", "avg_log2FC"),
        ],
    )
    def test_other_result_tables_name_their_likely_column(self, tmp_path, header, column):
        path = write(tmp_path, "t.tsv", header + "\n" + "\t".join(["A"] + ["1"] * (header.count("\t"))) + "\n")
        with pytest.raises(RankingError, match=f"ranking score is usually '{column}'"):
            read_ranks(path)

    def test_byte_order_mark_is_not_part_of_the_first_gene(self, tmp_path):
        path = tmp_path / "bom.rnk"
        path.write_bytes("\ufeffG0\t1.5\nG1\t-2\n".encode())
        assert read_ranks(path) == {"G0": 1.5, "G1": -2.0}

    @pytest.mark.parametrize(
        "content, message",
        [
            (b"PK\x03\x04" + bytes(40), "this is an Excel workbook or a zip archive, not a text table; save the sheet"),
            ("G0\t1\n".encode("utf-16"), "this file is UTF-16 text; save it as UTF-8"),
            (b"\x00\x01\x02binary", "this is a binary file, not a text table"),
            (
                gzip.compress("".join(f"G{i}\t{i * 0.37}\n" for i in range(5000)).encode())[:2000],
                "the gzip data is damaged or cut short",
            ),
        ],
    )
    def test_files_that_are_not_text_tables(self, tmp_path, content, message):
        path = tmp_path / "ranks.rnk"
        path.write_bytes(content)
        with pytest.raises(RankingError, match=message):
            read_ranks(path)

    def test_gzip_without_the_suffix_is_read(self, tmp_path):
        path = tmp_path / "ranks.rnk"
        path.write_bytes(gzip.compress(b"A\t1\nB\t-1\n"))
        assert read_ranks(path) == {"A": 1.0, "B": -1.0}

    def test_missing_scores(self, tmp_path):
        path = write(tmp_path, "na.rnk", "A\tNA\nB\t2\nC\t\nD\t-1\n")
        with pytest.raises(
            RankingError,
            match=r"line 1: gene 'A' has no score \('NA'\); drop such genes "
            r"with na='drop' \(--drop-na\)",
        ):
            read_ranks(path)
        with pytest.warns(RankingWarning, match=r"dropped 2 gene\(s\) without a score \(first: 'A'\)"):
            assert read_ranks(path, na="drop") == {"B": 2.0, "D": -1.0}

    def test_gene_sets_given_as_the_ranking(self, tmp_path):
        with pytest.raises(
            RankingError, match="this is a GMT file of gene sets, not a ranking; give the ranking first"
        ):
            read_ranks(write(tmp_path, "sets.gmt", "S\td\tA\tB\n"))
        with pytest.raises(RankingError, match="looks like a GMT file of gene sets"):
            read_ranks(write(tmp_path, "sets.txt", "S1\tA\tB\tC\nS2\tD\tE\tF\n"), score_col=1)
        with pytest.raises(RankingError, match=r"sets.tsv: this looks like a GMT file of gene sets \(name, desc"):
            read_ranks(write(tmp_path, "sets.tsv", "S1\thttp://x/S1\tA\tB\tC\nS2\t\tD\tE\n"))


class TestCheckRanking:
    def test_all_equal_scores_are_refused(self):
        with pytest.raises(RankingError, match=r"all 3 scores are equal \(0.0\)"):
            check_ranking({"A": 0.0, "B": 0.0, "C": 0.0})

    def test_a_tie_block_above_one_percent_is_warned_about(self):
        ranks = {f"G{i}": float(i) for i in range(200)} | {f"Z{i}": 0.0 for i in range(3)}
        with pytest.warns(
            RankingWarning,
            match=r"4 genes \(2.0%\) share the score 0.0; tied genes are ordered by "
            r"their input order",
        ):
            check_ranking(ranks)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            check_ranking({f"G{i}": float(i) for i in range(200)} | {"Z": 0.0})

    def test_all_positive_under_std_only(self):
        with pytest.warns(RankingWarning, match="consider score_type='pos'"):
            check_ranking({"A": 1.0, "B": 2.0}, "std")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            check_ranking({"A": 1.0, "B": 2.0}, "pos")


class TestGmt:
    def test_round_trip_and_descriptions(self, tmp_path):
        path = str(tmp_path / "s.gmt")
        write_gmt({"S1": ["A", "B"], "S2": ("C",)}, path)
        assert read_gmt(path) == {"S1": ["A", "B"], "S2": ["C"]}
        path2 = write(tmp_path, "d.gmt.gz", "S1\tfirst set\tA\t \tB\r\n\nS2\t\tC\n")
        assert read_gmt(path2) == {"S1": ["A", "B"], "S2": ["C"]}
        assert read_gmt_descriptions(path2) == {"S1": "first set", "S2": None}

    def test_errors_name_file_and_line(self, tmp_path):
        path = write(tmp_path, "d.gmt", "S1\td\tA\n\nS1\tagain\tC\n")
        with pytest.raises(ValueError) as e:
            read_gmt(path)
        assert str(e.value) == (
            f"{path}, line 3: gene set 'S1' is named a second time (first on line 1); give each gene set a unique name"
        )
        with pytest.raises(ValueError, match=r"bad.gmt, line 2: Malformed GMT line 2"):
            read_gmt(write(tmp_path, "bad.gmt", "S1\td\tA\nS2 A B\n"))
        with pytest.raises(FileNotFoundError) as e:
            read_gmt(tmp_path / "none.gmt")
        assert e.value.filename == str(tmp_path / "none.gmt") and e.value.errno == 2

    def test_write_refuses_tabs_and_line_breaks(self, tmp_path):
        with pytest.raises(ValueError, match="without tabs or line breaks"):
            write_gmt({"S\t1": ["A"]}, tmp_path / "x.gmt")
        with pytest.raises(ValueError, match="without tabs or line breaks"):
            write_gmt({"S1": ["A\nB"]}, tmp_path / "x.gmt")
