"""Reading rankings and gene-set files.

Everything a user's file can get wrong is refused here with one message that
names the file, the line and what to do, or warned about with
:class:`RankingWarning`. Each ranking read says where its genes and scores
came from (``Series.attrs['reading']``), and the command line prints it.
"""

from __future__ import annotations

import math
import os
from dataclasses import asdict, dataclass
from typing import Any, Iterable, Mapping

from .._errors import Advice, RankingError, RankingWarning, warn
from .._options import validate
from .._results import is_pandas, require
from .identifiers import map_pairs
from .tables import Table, is_missing, is_missing_name, parse_table, read_source, shown_columns

__all__ = [
    "RankingError",
    "RankingWarning",
    "Reading",
    "read_ranks",
    "read_rankings",
    "read_matrix",
    "ranking_file",
    "rankings_file",
    "matrix_file",
    "collapse",
    "mapped",
    "as_ranking",
    "as_dict",
]

# The ranking statistic of the result tables users bring most often.
KNOWN_SCORE_COLUMNS = {
    "stat": "a DESeq2 results table",
    "t": "a limma topTable",
    "scores": "a scanpy rank_genes_groups table",
    "avg_log2FC": "a Seurat FindMarkers table",
}
# Statistics without a sign (edgeR's F and LR): ranking by them loses the
# direction, so they are never advised; the advice says how to make a signed score.
UNSIGNED_SCORE_COLUMNS = {
    "F": "an edgeR topTags table of a quasi-likelihood F-test",
    "LR": "an edgeR topTags table of a likelihood-ratio test",
}
# Headers that name a column of gene identifiers, compared without case.
GENE_COLUMNS = {"gene", "genes", "names", "symbol", "symbols", "gene_symbol", "genesymbol", "gene_name",
                "genename", "gene_id", "geneid", "id", "feature", "features", "hgnc_symbol", "entrez", "entrezid",
                "entrez_id", "ensembl", "ensembl_id", "ensembl_gene_id"}  # fmt: skip


@dataclass(frozen=True)
class Reading:
    """What was read from a ranking file: where the genes and the scores came
    from, how many rows were read and how many genes kept."""

    source: str
    dialect: str
    genes_from: str
    scores_from: str
    rows: int
    genes: int
    dropped: int = 0
    collapsed: int = 0
    group: str | None = None
    size: int | None = None
    sha256: str | None = None
    ids: str | None = None

    def describe(self) -> str:
        """One line such as ``tt.txt: genes from the row names, scores from column 't' (3rd of 6), 11,093 genes``."""
        where = f"{self.source}" + (f" [{self.group}]" if self.group is not None else "")
        extra = "".join(
            [
                f", {self.dropped:,} dropped" if self.dropped else "",
                f", {self.collapsed:,} collapsed" if self.collapsed else "",
            ]
        )
        ids = f"; {self.ids}" if self.ids else ""
        return (
            f"{where}: genes from {self.genes_from}, scores from {self.scores_from}, {self.genes:,} genes{extra}{ids}"
        )


def _counter(values: list[str]) -> bool:
    """Row names that number the rows rather than name genes: R's and pandas'
    default 1..n or 0..n-1, or numbers that repeat (tables concatenated
    without a new index); unique numbers may be Entrez IDs and stay genes."""
    if not values or not all(v.isdigit() for v in values):
        return False
    start = int(values[0])
    counting = start in (0, 1) and all(v == str(start + i) for i, v in enumerate(values))
    return counting or len(set(values)) < len(values)


def _named(table: Table, choice, what: str) -> int:
    width = len(table.columns)
    if isinstance(choice, int):
        if choice >= width:
            raise RankingError(f"{table.source.name}: no column {choice} for the {what}; the rows have {width} fields")
        return choice
    if table.header and choice in table.columns:
        return table.columns.index(choice)
    named = shown_columns(table.columns)
    raise RankingError(
        f"{table.source.name}: no column named {choice!r} for the {what}"
        + (f" (columns: {named})" if table.header else " (the file has no header)")
    )


def _gene_column(table: Table, choice, exclude: set[int]) -> int:
    if choice is not None:
        return _named(table, choice, "gene names")
    if table.row_names and not _counter([f[0] for _, f in table.rows]):
        return 0
    known = [i for i, c in enumerate(table.columns) if c is not None and c.lower() in GENE_COLUMNS and i not in exclude]
    if len(known) == 1:
        return known[0]
    first = next((i for i in range(1 if table.row_names else 0, len(table.columns)) if i not in exclude), None)
    if first is None:
        raise RankingError(f"{table.source.name}: no column holds gene names; name it with ", Advice("gene_col"))
    return first


def _too_many_columns(table: Table, candidates: list[int]) -> RankingError:
    name = table.source.name
    if table.header:
        shown = shown_columns([table.columns[i] for i in candidates])
        message = f"{name} has {len(candidates)} columns that could be the ranking score ({shown}); say which with "
    else:
        message = f"{name} has {len(table.columns)} unnamed columns; say which holds the ranking score with "
    usual = ""
    for column, what in KNOWN_SCORE_COLUMNS.items():
        if table.header and column in table.columns:
            usual = f"; this looks like {what}, whose ranking score is usually {column!r}"
            break
    for column, what in UNSIGNED_SCORE_COLUMNS.items():
        if not usual and table.header and column in table.columns and "logFC" in table.columns:
            usual = (
                f"; this looks like {what}, whose {column!r} has no sign (up and down look alike): rank by "
                f"'logFC', or add a signed column sign(logFC)*sqrt({column}) and rank by that"
            )
    return RankingError(message, Advice("score_col"), usual)


def _score_column(table: Table, choice, gene_i: int, exclude: set[int]) -> int:
    if choice is not None:
        return _named(table, choice, "scores")
    counter_names = table.row_names and gene_i != 0
    candidates = [
        i for i in range(len(table.columns)) if i != gene_i and i not in exclude and not (counter_names and i == 0)
    ]
    if len(candidates) != 1:
        raise _too_many_columns(table, candidates)
    return candidates[0]


def _score(text: str, table: Table, line: int, gene: str) -> float:
    try:
        value = float(text.replace(",", ".") if table.decimal == "," else text)
    except ValueError:
        gmt = len(table.columns) >= 3 and not table.header
        hint = (
            "; this looks like a GMT file of gene sets (name, description, genes): give the ranking first "
            "and the gene sets second"
            if gmt
            else ""
        )
        raise RankingError(
            f"{table.source.name}, line {line}: score {text!r} of gene {gene!r} is not a number{hint}"
        ) from None
    if not math.isfinite(value):
        raise RankingError(
            f"{table.source.name}, line {line}: score of gene {gene!r} is {text.strip()}; scores must be finite"
        )
    return value


def _pairs(table: Table, gene_i: int, score_i: int, na: str, rows=None):
    """(gene, score, line) of the rows, and how many had no gene name or score."""
    pairs, dropped, name = [], 0, table.source.name
    for line, fields in table.rows if rows is None else rows:
        gene, text = fields[gene_i].strip(), fields[score_i]
        if is_missing_name(gene):
            if na == "error":
                raise RankingError(
                    f"{name}, line {line}: the gene name is {fields[gene_i]!r}, which names no gene; "
                    "drop such rows with ",
                    Advice("na", "drop"),
                    " or give them their names",
                )
            dropped += 1
            continue
        if is_missing(text):
            if na == "error":
                raise RankingError(
                    f"{name}, line {line}: gene {gene!r} has no score ({text.strip()!r}); drop such genes with ",
                    Advice("na", "drop"),
                    " or fill them in",
                )
            dropped += 1
            continue
        pairs.append((gene, _score(text, table, line, gene), line))
    return pairs, dropped


def _group_like(table: Table, gene_i: int, score_i: int, pairs) -> str | None:
    """A column that makes repeated genes unique with few values: the
    grouping of a long table of several rankings (scanpy's ``group``)."""
    lines = {line for _, _, line in pairs}
    rows = [f for line, f in table.rows if line in lines]
    for i, column in enumerate(table.columns):
        if i in (gene_i, score_i) or column is None:
            continue
        values = {f[i] for f in rows}
        if 2 <= len(values) <= min(100, len(rows) // 10 or 1):
            if len({(f[gene_i].strip(), f[i]) for f in rows}) == len(rows):
                return column
    return None


def _series(ranks: dict[str, float], reading: Reading, gene_name: str | None, score_name: str | None):
    pd = require("pandas", "pandas", "reading a ranking")
    series = pd.Series(
        list(ranks.values()), index=pd.Index(list(ranks), name=gene_name), name=score_name, dtype="float64"
    )
    series.attrs["reading"] = asdict(reading)
    return series


def mapped(pairs, map_ids: str | None, source: str, stacklevel: int):
    """Pairs with their genes mapped to current symbols (``map_ids``), and
    what the mapping did; unknown IDs are warned about, a few named."""
    if map_ids is None:
        return pairs, None
    pairs, report = map_pairs(pairs, map_ids)
    if report.unmapped:
        shown = ", ".join(repr(g) for g in report.unmapped[:5]) + (", ..." if len(report.unmapped) > 5 else "")
        fate = "kept as they are" if report.style == "symbol" else "left out"
        warn(f"{source}: {len(report.unmapped):,} of {report.mapped + len(report.unmapped):,} gene IDs are not in "
             f"the table of human genes ({shown}); {fate}", stacklevel=stacklevel + 1)  # fmt: skip
    return pairs, report


def _ranking(table: Table, gene_i: int, score_i: int, options, rows=None, group=None):
    duplicates, na = options["duplicates"], options["na"]
    pairs, dropped = _pairs(table, gene_i, score_i, na, rows)
    source = table.source.name + (f", group {group!r}" if group is not None else "")
    if not pairs:
        raise RankingError(f"{source}: the file holds no ranking (no data rows)")
    if group is None and len({g for g, _, _ in pairs}) < len(pairs):
        grouping = _group_like(table, gene_i, score_i, pairs)
        if grouping is not None:
            raise RankingError(
                f"{source}: genes occur once per value of column {grouping!r}: this is a long table of several "
                "rankings; analyse one ranking per group with ",
                Advice("group_col", grouping),
                " (gsea_many or read_rankings in Python), not by collapsing duplicates",
            )
    if dropped:
        warn(f"{source}: dropped {dropped} row(s) without a gene name or a score", stacklevel=4)
    rows_read = len(pairs) + dropped
    pairs, report = mapped(pairs, options["map_ids"], source, stacklevel=4)
    ranks, collapsed = collapse(pairs, duplicates, source, stacklevel=5)
    reading = Reading(
        table.source.name, table.dialect, table.label(gene_i), table.label(score_i), rows_read, len(ranks),
        dropped, collapsed, group, table.source.size, table.source.sha256, report.describe() if report else None,
    )  # fmt: skip
    names = table.columns if table.header else [None] * len(table.columns)
    return _series(ranks, reading, names[gene_i], names[score_i])


def _open_table(path) -> Table:
    path = path if path == "-" else os.fspath(path)
    if isinstance(path, str) and path.lower().endswith((".gmt", ".gmt.gz")):
        raise RankingError(
            f"{path}: this is a GMT file of gene sets, not a ranking; give the ranking first and the gene sets second"
        )
    return parse_table(read_source(path))


def read_ranks(path, gene_col=None, score_col=None, duplicates: str = "error", na: str = "error", map_ids=None):
    """Read a ranking file into a Series of scores indexed by gene.

    Parameters
    ----------
    path : str or os.PathLike
        A .rnk file (two columns, optional header), or a table with a header
        as R (``write.csv``, ``write.csv2``, ``write.table``), pandas,
        spreadsheets and differential-expression tools write it: separated
        by tabs, commas, semicolons (with decimal commas) or blanks, quoted
        or not, with R's row names or without, optionally gzip-compressed.
        ``-`` reads standard input; a pipe is read once, whole. Blank lines
        and ``#`` comments are skipped; a byte-order mark is ignored.
    gene_col, score_col : str or int, optional
        The columns of gene names and scores, by header name or 0-based
        position in a row. The genes default to an R table's row names, else
        to a column named like 'gene', 'symbol' or 'names', else to the
        first column of text. A table with more than one column besides the
        genes needs ``score_col``.
    duplicates : {'error', 'first', 'max_abs', 'mean'}
        What to do with a gene named twice: refuse, keep the first score,
        the score of largest magnitude, or the mean. A warning says how many
        genes were collapsed.
    na : {'error', 'drop'}
        Rows without a score or a gene name (empty, NA, NaN) are refused,
        naming the first, or dropped with a warning that counts them.
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human gene identifiers to current symbols with the shipped table
        (org.Hs.eg.db): Ensembl gene IDs (with or without ``.version``) or
        Entrez IDs, which are left out when unknown, or previous symbols and
        aliases (only those that name one gene; a current symbol stays).
        'auto' recognises the style. Genes that map to one symbol go through
        `duplicates`. None (the default) keeps the names as they are.

    Returns
    -------
    pandas.Series
        Scores (float64) indexed by gene, in file order. ``attrs['reading']``
        says where the genes and scores came from and how many rows were
        read (the fields of :class:`Reading`).

    Raises
    ------
    RankingError
        Anything that makes the file unusable as a ranking, with the file,
        line and a remedy in the message.
    """
    given = {"duplicates": duplicates, "na": na, "gene_col": gene_col, "score_col": score_col, "map_ids": map_ids}
    return ranking_file(path, validate(given, list(given)))


def ranking_file(path, checked: Mapping):
    """:func:`read_ranks` with checked options (``gene_col``, ``score_col``,
    ``duplicates``, ``na``, ``map_ids``), as the command line reads its rankings."""
    table = _open_table(path)
    gene_i = _gene_column(table, checked["gene_col"], set())
    score_i = _score_column(table, checked["score_col"], gene_i, set())
    return _ranking(table, gene_i, score_i, checked)


def read_rankings(
    path, group_col, gene_col=None, score_col=None, duplicates: str = "error", na: str = "error", map_ids=None
):
    """Read a long table of several rankings (one per value of `group_col`).

    Parameters are those of :func:`read_ranks`, and ``group_col``: the
    column that names each row's ranking (scanpy's ``group``).

    Returns
    -------
    dict
        Group -> Series of scores indexed by gene, groups in order of first
        appearance.
    """
    given = {"duplicates": duplicates, "na": na, "gene_col": gene_col, "score_col": score_col, "group_col": group_col,
             "map_ids": map_ids}  # fmt: skip
    return rankings_file(path, validate(given, list(given)))


def rankings_file(path, checked: Mapping):
    """:func:`read_rankings` with checked options (those of :func:`ranking_file` and ``group_col``)."""
    table = _open_table(path)
    group_i = _named(table, checked["group_col"], "groups")
    gene_i = _gene_column(table, checked["gene_col"], {group_i})
    score_i = _score_column(table, checked["score_col"], gene_i, {group_i})
    groups: dict[str, list] = {}
    for line, fields in table.rows:
        groups.setdefault(fields[group_i].strip(), []).append((line, fields))
    return {g: _ranking(table, gene_i, score_i, checked, rows, group=g) for g, rows in groups.items()}


def read_matrix(path, gene_col=None, duplicates: str = "error") -> dict[str, dict[str, float]]:
    """Read a genes x contrasts table into one ranking per contrast.

    Parameters
    ----------
    path : str or os.PathLike
        A table (as :func:`read_ranks` reads them) whose header names the
        columns.
    gene_col : str or int, optional
        The column of gene names (default: R's row names, else the first);
        every other column is one ranking.
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
    return matrix_file(path, validate({"duplicates": duplicates, "gene_col": gene_col}, ["duplicates", "gene_col"]))


def matrix_file(path, checked: Mapping) -> dict[str, dict[str, float]]:
    """:func:`read_matrix` with checked options (``gene_col``, ``duplicates``)."""
    path = path if path == "-" else os.fspath(path)
    table = parse_table(read_source(path), header=True)
    if not table.rows:
        raise RankingError(f"{table.source.name}: the table is empty")
    gene_i = 0 if checked["gene_col"] is None else _named(table, checked["gene_col"], "gene names")
    contrasts = [i for i in range(len(table.columns)) if i != gene_i]
    if not contrasts:
        raise RankingError(f"{table.source.name}: the table has no score columns besides the gene names")
    pairs: dict[int, list[tuple[str, float, int]]] = {i: [] for i in contrasts}
    missing = dict.fromkeys(contrasts, 0)
    for line, fields in table.rows:
        gene = fields[gene_i].strip()
        if is_missing_name(gene):
            raise RankingError(
                f"{table.source.name}, line {line}: the gene name is {fields[gene_i]!r}, which names no gene"
            )
        for i in contrasts:
            if not is_missing(fields[i]):
                pairs[i].append((gene, _score(fields[i], table, line, gene), line))
            else:
                missing[i] += 1
    if any(missing.values()):
        counts = ", ".join(f"{table.columns[i]!r} {k:,}" for i, k in missing.items() if k)
        warn(f"{table.source.name}: {sum(missing.values()):,} empty or NA cells, each leaving its gene out of "
             f"that column's ranking ({counts})")  # fmt: skip
    return {
        table.columns[i]: collapse(
            pairs[i], checked["duplicates"], f"{table.source.name}, column {table.columns[i]!r}"
        )[0]
        for i in contrasts
    }


def collapse(
    pairs: Iterable[tuple[str, float, int]], duplicates: str, source: str, stacklevel: int = 3
) -> tuple[dict[str, float], int]:
    """Gene -> score from (gene, score, position) triples, with genes named
    more than once refused or collapsed by the `duplicates` policy; also
    returns how many genes were collapsed."""
    seen: dict[str, list[float]] = {}
    for gene, score, _ in pairs:
        seen.setdefault(gene, []).append(score)
    repeated = [g for g, s in seen.items() if len(s) > 1]
    if repeated:
        shown = ", ".join(repr(g) for g in repeated[:5]) + (", ..." if len(repeated) > 5 else "")
        if duplicates == "error":
            raise RankingError(
                f"{source}: {len(repeated)} gene name(s) occur more than once ({shown}); collapse them with ",
                Advice("duplicates", "first"),
                ", ",
                Advice("duplicates", "max_abs"),
                " or ",
                Advice("duplicates", "mean"),
            )
        warn(
            f"{source}: collapsed {len(repeated)} gene name(s) that occur more than once ({shown}) with ",
            Advice("duplicates", duplicates),
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
    return ranks, len(repeated)


def _checked_pairs(
    pairs: Iterable[tuple[object, object]], duplicates: str, source: str, na: str, map_ids: str | None = None
) -> dict[str, float]:
    """Check and collapse (gene, score) pairs of an in-memory ranking."""
    checked, dropped = [], 0
    for i, (gene, score) in enumerate(pairs, start=1):
        if gene is None or (isinstance(gene, float) and math.isnan(gene)) or is_missing_name(str(gene)):
            if na == "drop":
                dropped += 1
                continue
            raise RankingError(
                f"{source}: gene name {gene!r} (entry {i}) names no gene; drop such entries with ", Advice("na", "drop")
            )
        gene = str(gene).strip()
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
            raise RankingError(
                f"{source}: gene {gene!r} has no score (NaN); drop such genes with ", Advice("na", "drop")
            )
        if not math.isfinite(value):
            raise RankingError(f"{source}: score of gene {gene!r} is {value}; scores must be finite")
        checked.append((gene, value, i))
    if dropped:
        warn(f"{source}: dropped {dropped} gene(s) without a name or a score", stacklevel=4)
    checked, _ = mapped(checked, map_ids, source, stacklevel=4)
    return collapse(checked, duplicates, source, stacklevel=5)[0]


def as_ranking(
    ranks: Any,
    duplicates: str = "error",
    source: str = "ranking",
    na: str = "error",
    gene_col=None,
    score_col=None,
    map_ids=None,
) -> dict[str, float]:
    """Turn any accepted ranking into the dict the engine takes.

    Accepts a dict gene -> score, a pandas Series indexed by gene, a
    DataFrame (two columns gene, score, or the columns `gene_col` and
    `score_col`) or the path of a ranking file (see :func:`rsvelmo.read_ranks`).
    The options are checked ones (or the defaults): they are not checked again.
    """
    if isinstance(ranks, (str, os.PathLike)):
        options = {"gene_col": gene_col, "score_col": score_col, "duplicates": duplicates, "na": na, "map_ids": map_ids}
        return as_dict(ranking_file(ranks, options))
    if is_pandas(ranks, "Series"):
        return _checked_pairs(zip(ranks.index, ranks.to_numpy()), duplicates, source, na, map_ids)
    if is_pandas(ranks, "DataFrame"):
        if gene_col is None and score_col is None and ranks.shape[1] != 2:
            raise RankingError(
                f"{source}: a ranking table needs two columns (gene, score), not {ranks.shape[1]} "
                f"({', '.join(map(str, ranks.columns))}); name them with ",
                Advice("gene_col"),
                " and ",
                Advice("score_col"),
                " or pass the score column as a Series indexed by gene",
            )
        genes = ranks.index if gene_col is None and ranks.shape[1] != 2 else ranks[gene_col or ranks.columns[0]]
        scores = ranks[score_col if score_col is not None else ranks.columns[1]]
        return _checked_pairs(zip(genes, scores), duplicates, source, na, map_ids)
    if isinstance(ranks, Mapping):
        return _checked_pairs(ranks.items(), duplicates, source, na, map_ids)
    raise TypeError(
        f"{source}: expected a dict, a pandas Series, a DataFrame or a file path, not {type(ranks).__name__}"
    )


def as_dict(series) -> dict[str, float]:
    """A ranking read as a Series, as the dict gene -> score the engine takes."""
    return dict(zip(series.index, series.to_numpy().tolist()))
