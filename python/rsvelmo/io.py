"""Reading rankings and gene-set files, and checking rankings before an analysis.

Everything a user's file can get wrong is refused here with one message that
names the file, the line and what to do, or warned about with
:class:`RankingWarning`.
"""

from __future__ import annotations

import csv
import gzip
import io
import math
import os
import warnings
import zlib
from collections import Counter
from typing import Iterable, Mapping

import rsvelmopy

__all__ = [
    "RankingError",
    "RankingWarning",
    "read_ranks",
    "read_matrix",
    "read_gmt",
    "read_gmt_descriptions",
    "write_gmt",
    "check_ranking",
    "DUPLICATE_POLICIES",
    "NA_POLICIES",
]

DUPLICATE_POLICIES = ("error", "first", "max_abs", "mean")
NA_POLICIES = ("error", "drop")
# Cells that mean "no value" in the tables R, pandas and spreadsheets write.
MISSING_CELLS = {"", "na", "nan", "n/a", "null", "none", "#n/a"}
# The ranking statistic of the result tables users bring most often.
KNOWN_SCORE_COLUMNS = {
    "stat": "a DESeq2 results table",
    "t": "a limma topTable",
    "scores": "a scanpy rank_genes_groups table",
    "avg_log2FC": "a Seurat FindMarkers table",
}
TIE_SHARE = 0.01

RankingWarning = rsvelmopy.RankingWarning


class RankingError(ValueError):
    """A ranking file or object that cannot be analysed as it stands."""


def _check_policy(name: str, value, allowed) -> None:
    if value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(repr(a) for a in allowed)}, not {value!r}")


def _sniff(path: str) -> bytes:
    """The first bytes of the file, after refusing what is not a text table."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head.startswith(b"\x1f\x8b"):
        try:
            with gzip.open(path, "rb") as f:
                head = f.read(4096)
        except (OSError, EOFError, zlib.error):
            raise RankingError(f"{path}: the gzip data is damaged or cut short") from None
    if head.startswith(b"PK\x03\x04"):
        raise RankingError(
            f"{path}: this is an Excel workbook or a zip archive, not a text table; save the sheet as CSV or TSV"
        )
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise RankingError(f"{path}: this file is UTF-16 text; save it as UTF-8 (CSV UTF-8 in Excel)")
    if b"\x00" in head:
        raise RankingError(f"{path}: this is a binary file, not a text table")
    return head


def _rows(path: str):
    """(line number, cells) of every row that is not blank or a # comment."""
    head = _sniff(path)
    name = path[:-3] if path.lower().endswith(".gz") else path
    first = head.split(b"\n", 1)[0]
    delimiter = "," if name.lower().endswith(".csv") or (b"\t" not in first and b"," in first) else "\t"
    opener = gzip.open if _is_gzip(path) else open
    try:
        with opener(path, "rb") as raw:
            text = io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")
            for line_no, row in enumerate(csv.reader(text, delimiter=delimiter), start=1):
                if not row or all(not c.strip() for c in row) or row[0].lstrip().startswith("#"):
                    continue
                yield line_no, row
    except UnicodeDecodeError as e:
        raise RankingError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    except (EOFError, zlib.error, gzip.BadGzipFile):
        raise RankingError(f"{path}: the gzip data is damaged or cut short") from None


def _is_gzip(path: str) -> bool:
    with open(path, "rb") as f:
        return f.read(2) == b"\x1f\x8b"


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _missing(text: str) -> bool:
    return text.strip().lower() in MISSING_CELLS


def _column(header: list[str] | None, choice, default: int, what: str, path: str) -> int:
    if choice is None:
        return default
    if header is not None and choice in header:
        return header.index(choice)
    if isinstance(choice, int) or (isinstance(choice, str) and choice.isdigit()):
        return int(choice)
    raise RankingError(
        f"{path}: no column named {choice!r} for the {what}"
        + (f" (columns: {', '.join(map(repr, header))})" if header else " (the file has no header)")
    )


def _too_many_columns(path: str, header: list[str] | None, width: int) -> RankingError:
    shown = ", ".join(repr(c) for c in header) if header else f"{width} unnamed columns"
    message = (
        f"{path} has {width} columns ({shown}); say which one holds the ranking score with "
        "score_col= (--score-col on the command line)"
    )
    for column, what in KNOWN_SCORE_COLUMNS.items():
        if header and column in header:
            message += f"; this looks like {what}, whose ranking score is usually {column!r}"
            break
    return RankingError(message)


def read_ranks(path, gene_col=None, score_col=None, duplicates: str = "error", na: str = "error") -> dict[str, float]:
    """Read a ranking file into gene name -> score.

    Parameters
    ----------
    path : str or os.PathLike
        A .rnk file (two tab-separated columns), or a TSV or CSV table with
        a header, optionally gzip-compressed. Blank lines and ``#`` comments
        are skipped; a UTF-8 byte-order mark is ignored.
    gene_col, score_col : str or int, optional
        The columns of gene names and scores, by header name or 0-based
        index. A table of more than two columns needs ``score_col``; the
        genes default to the first column.
    duplicates : {'error', 'first', 'max_abs', 'mean'}
        What to do with a gene named twice: refuse, keep the first score,
        the score of largest magnitude, or the mean. A warning says how many
        genes were collapsed.
    na : {'error', 'drop'}
        Missing scores (empty, NA, NaN) are refused, naming the first, or
        dropped with a warning that says how many.

    Returns
    -------
    dict
        Gene name -> score, in file order.

    Raises
    ------
    RankingError
        Anything that makes the file unusable as a ranking, with the file,
        line and a remedy in the message.
    """
    _check_policy("duplicates", duplicates, DUPLICATE_POLICIES)
    _check_policy("na", na, NA_POLICIES)
    path = os.fspath(path)
    if path.lower().endswith((".gmt", ".gmt.gz")):
        raise RankingError(
            f"{path}: this is a GMT file of gene sets, not a ranking; give the ranking first and the gene sets second"
        )
    pairs: list[tuple[str, float, int]] = []
    dropped: list[str] = []
    header = None
    gene_i = score_i = None
    rows = _rows(path)
    for line_no, row in rows:
        if gene_i is None:
            probe = score_col if isinstance(score_col, int) else 1
            named = isinstance(score_col, str) and not score_col.isdigit()
            cell = row[probe] if probe < len(row) else ""
            if named or not (_is_number(cell) or _missing(cell)):
                header = [c.strip() for c in row]
            width = len(row)
            if score_col is None and width > 2:
                # Rows of differing lengths without numbers: gene sets, not a table.
                following = next(rows, (0, row))[1]
                if len(following) != width and not any(_is_number(c) for c in row[1:] + following[1:]):
                    raise RankingError(
                        f"{path}: this looks like a GMT file of gene sets (name, description, genes), not a "
                        "ranking; give the ranking first and the gene sets second"
                    )
                raise _too_many_columns(path, header, width)
            if width < 2:
                raise RankingError(
                    f"{path}, line {line_no}: a ranking needs two columns (gene, score), "
                    f"found {width}; is the file tab-separated (.rnk, .tsv) or comma-separated (.csv)?"
                )
            gene_i = _column(header, gene_col, 0, "gene names", path)
            score_i = _column(header, score_col, 1, "scores", path)
            if header is not None:
                continue
        if max(gene_i, score_i) >= len(row):
            raise RankingError(
                f"{path}, line {line_no}: expected at least {max(gene_i, score_i) + 1} columns, found {len(row)}"
            )
        gene = row[gene_i].strip()
        if not gene:
            raise RankingError(f"{path}, line {line_no}: empty gene name")
        text = row[score_i]
        if _missing(text):
            if na == "error":
                raise RankingError(
                    f"{path}, line {line_no}: gene {gene!r} has no score ({text.strip()!r}); "
                    "drop such genes with na='drop' (--drop-na) or fill them in"
                )
            dropped.append(gene)
            continue
        pairs.append((gene, _parse_score(text, path, line_no, gene, len(row)), line_no))
    if gene_i is None:
        raise RankingError(f"{path}: the file holds no ranking (no data rows)")
    if dropped:
        warnings.warn(
            f"{path}: dropped {len(dropped)} gene(s) without a score (first: {dropped[0]!r})",
            RankingWarning,
            stacklevel=2,
        )
    return _collapse(pairs, duplicates, path)


def _parse_score(text: str, path: str, line: int, gene: str, width: int) -> float:
    try:
        value = float(text)
    except ValueError:
        hint = (
            (
                "; this looks like a GMT file of gene sets (name, description, genes): give the ranking first "
                "and the gene sets second"
            )
            if width >= 3 and not _is_number(text)
            else ""
        )
        raise RankingError(f"{path}, line {line}: score {text!r} of gene {gene!r} is not a number{hint}") from None
    if not math.isfinite(value):
        raise RankingError(f"{path}, line {line}: score of gene {gene!r} is {text.strip()}; scores must be finite")
    return value


def read_matrix(path, gene_col=None, duplicates: str = "error") -> dict[str, dict[str, float]]:
    """Read a genes x contrasts table into one ranking per contrast.

    Parameters
    ----------
    path : str or os.PathLike
        A TSV or CSV table (optionally gzipped) whose header row names the
        columns.
    gene_col : str or int, optional
        The column of gene names (default: the first); every other column is
        one ranking.
    duplicates : {'error', 'first', 'max_abs', 'mean'}
        What to do with a gene named twice.

    Returns
    -------
    dict
        Contrast name -> (gene -> score). Empty and NA cells mean "not
        measured" and leave the gene out of that ranking.

    Raises
    ------
    RankingError
        Other non-numeric or infinite cells, ragged rows or an empty table,
        naming file, line and gene.
    """
    _check_policy("duplicates", duplicates, DUPLICATE_POLICIES)
    path = os.fspath(path)
    rows = _rows(path)
    try:
        _, header = next(rows)
    except StopIteration:
        raise RankingError(f"{path}: the table is empty") from None
    header = [c.strip() for c in header]
    gene_i = _column(header, gene_col, 0, "gene names", path)
    contrasts = [i for i in range(len(header)) if i != gene_i]
    if not contrasts:
        raise RankingError(f"{path}: the table has no score columns besides the gene names")
    pairs: dict[int, list[tuple[str, float, int]]] = {i: [] for i in contrasts}
    for line_no, row in rows:
        if len(row) != len(header):
            raise RankingError(f"{path}, line {line_no}: expected {len(header)} columns, found {len(row)}")
        gene = row[gene_i].strip()
        if not gene:
            raise RankingError(f"{path}, line {line_no}: empty gene name")
        for i in contrasts:
            if not _missing(row[i]):
                pairs[i].append((gene, _parse_score(row[i], path, line_no, gene, 2), line_no))
    return {header[i]: _collapse(pairs[i], duplicates, f"{path}, column {header[i]!r}") for i in contrasts}


def _collapse(
    pairs: Iterable[tuple[str, float, int]], duplicates: str, source: str, stacklevel: int = 3
) -> dict[str, float]:
    seen: dict[str, list[float]] = {}
    for gene, score, _ in pairs:
        seen.setdefault(gene, []).append(score)
    repeated = [g for g, s in seen.items() if len(s) > 1]
    if repeated:
        shown = ", ".join(repr(g) for g in repeated[:5]) + (", ..." if len(repeated) > 5 else "")
        if duplicates == "error":
            raise RankingError(
                f"{source}: {len(repeated)} gene name(s) occur more than once ({shown}); "
                "collapse them with duplicates='first', 'max_abs' or 'mean' "
                "(--duplicates on the command line)"
            )
        warnings.warn(
            f"{source}: collapsed {len(repeated)} gene name(s) that occur more than once ({shown}) "
            f"with duplicates={duplicates!r}",
            RankingWarning,
            stacklevel=stacklevel,
        )
    ranks: dict[str, float] = {}
    for gene, scores in seen.items():
        if duplicates == "max_abs":
            ranks[gene] = max(scores, key=abs)
        elif duplicates == "mean":
            ranks[gene] = math.fsum(scores) / len(scores)
        else:
            ranks[gene] = scores[0]
    return ranks


def ranks_from_pairs(
    pairs: Iterable[tuple[object, object]], duplicates: str, source: str, na: str = "error"
) -> dict[str, float]:
    """Check and collapse (gene, score) pairs from an in-memory ranking."""
    _check_policy("duplicates", duplicates, DUPLICATE_POLICIES)
    _check_policy("na", na, NA_POLICIES)
    checked = []
    dropped = 0
    for i, (gene, score) in enumerate(pairs, start=1):
        if not isinstance(gene, str):
            gene = str(gene)
        try:
            value = float(score)
        except (TypeError, ValueError):
            if score is None and na == "drop":
                dropped += 1
                continue
            raise RankingError(f"{source}: score {score!r} of gene {gene!r} is not a number") from None
        if math.isnan(value):
            if na == "drop":
                dropped += 1
                continue
            raise RankingError(f"{source}: gene {gene!r} has no score (NaN); drop such genes with na='drop'")
        if not math.isfinite(value):
            raise RankingError(f"{source}: score of gene {gene!r} is {value}; scores must be finite")
        checked.append((gene, value, i))
    if dropped:
        warnings.warn(f"{source}: dropped {dropped} gene(s) without a score", RankingWarning, stacklevel=3)
    return _collapse(checked, duplicates, source, stacklevel=4)


def check_ranking(
    ranks: Mapping[str, float], score_type: str = "std", source: str = "ranking", stacklevel: int = 2
) -> None:
    """Refuse a ranking that cannot order genes and warn about a suspect one.

    A ranking whose scores are all equal is refused. A block of tied scores
    holding more than 1% of the genes is warned about: the engine orders tied
    genes by their input order, so that order, not the data, decides where
    they fall. An all-positive ranking analysed two-sided is warned about too.
    """
    scores = list(ranks.values())
    if not scores:
        raise RankingError(f"{source}: the ranking holds no genes")
    counts = Counter(scores)
    if len(counts) == 1:
        raise RankingError(
            f"{source}: all {len(scores)} scores are equal ({scores[0]!r}); a ranking needs "
            "scores that differ between genes"
        )
    value, size = counts.most_common(1)[0]
    if size > TIE_SHARE * len(scores) and size > 1:
        warnings.warn(
            f"{source}: {size} genes ({size * 100.0 / len(scores):.1f}%) share the score {value!r}; "
            "tied genes are ordered by their input order, which then decides their place in every "
            "running sum. Rank by a statistic with fewer ties (e.g. DESeq2's 'stat' rather than "
            "rounded fold changes) or drop the tied genes",
            RankingWarning,
            stacklevel=stacklevel + 1,
        )
    if score_type.lower() == "std" and all(s > 0.0 for s in scores):
        warnings.warn(
            f"{source}: all ranking scores are positive while score_type='std'; for one-tailed "
            "enrichment, consider score_type='pos'",
            RankingWarning,
            stacklevel=stacklevel + 1,
        )


def read_gmt(path) -> dict[str, list[str]]:
    """Read a GMT file with the engine's own reader.

    Parameters
    ----------
    path : str or os.PathLike
        One gene set per line: name, description, genes, tab-separated;
        optionally gzipped.

    Returns
    -------
    dict
        Gene-set name -> genes, in file order.

    Raises
    ------
    OSError
        The file cannot be read (``FileNotFoundError``, ``PermissionError``, ...).
    ValueError
        A malformed line or a name given twice, naming file and line.
    """
    return {name: genes for name, _, genes in rsvelmopy.read_gmt(path)}


def read_gmt_descriptions(path) -> dict[str, str | None]:
    """Read the descriptions of a GMT file.

    Returns
    -------
    dict
        Gene-set name -> the second field of its line, or None when empty.
    """
    return {name: description for name, description, _ in rsvelmopy.read_gmt(path)}


def write_gmt(gene_sets: Mapping[str, Iterable[str]], path) -> None:
    """Write gene sets as a GMT file.

    Parameters
    ----------
    gene_sets : mapping
        Name -> iterable of gene names; written with empty descriptions.
    path : str or os.PathLike
        The file to write.

    Raises
    ------
    ValueError
        A name or gene holding a tab or a line break.
    """
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for name, genes in gene_sets.items():
            genes = [str(g) for g in genes]
            for text in [name, *genes]:
                if not isinstance(text, str) or any(c in text for c in "\t\n\r"):
                    raise ValueError(f"gene set {name!r}: names and genes must be strings without tabs or line breaks")
            f.write("\t".join([name, "", *genes]) + "\n")
