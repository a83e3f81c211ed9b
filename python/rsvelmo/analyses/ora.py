"""Over-representation analysis: gene lists against gene sets in an explicit universe.

Definitions, for one list and one gene set, all counts taken inside the
universe U (the genes that could have been in the list):

- ``universe_size`` N = |U|;
- ``list_size`` n = |L ∩ U|, the list's distinct genes in the universe;
- ``size`` K = |S ∩ U|, the set's distinct genes in the universe;
- ``overlap`` k = |L ∩ S ∩ U|, and ``genes`` those genes in the list's order;
- ``expected`` = n K / N and ``fold_enrichment`` = k / expected;
- ``pval`` = P(X >= k) for X hypergeometric (N, K, n): R's
  ``phyper(k - 1, K, N - K, n, lower.tail = FALSE)``, the one-sided Fisher
  exact test;
- ``odds_ratio``: the conditional maximum-likelihood estimate, the odds ratio
  psi whose Fisher noncentral hypergeometric distribution on the table's
  support has mean k (what R's ``fisher.test`` estimates); 0 when k is the
  support's minimum, infinite when k is its maximum;
- ``sample_odds_ratio`` = k (N - K - n + k) / ((K - k) (n - k)), the
  cross-product ratio of the 2 x 2 table (infinite when only the
  denominator is 0, NaN when both are);
- ``padj``: Benjamini-Hochberg over every tested set of the list (the sets
  with ``min_size`` <= K <= ``max_size``, those without overlap included).

The statistics are in :mod:`.ora_stats`; this module turns what users have
(a list, named lists, a file of genes, a results table) into lists and a
universe, and counts.
"""

from __future__ import annotations

import hashlib
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .._errors import Advice, RankingError, warn
from .._options import validate
from .._results import is_pandas
from ..readers.gene_sets import GeneSets
from ..readers.identifiers import detect_style, map_pairs
from ..readers.rankings import GENE_COLUMNS, _gene_column
from ..readers.tables import Table, is_missing, is_missing_name, parse_table, read_source
from .ora_stats import bh_adjust, conditional_mle_odds_ratio, hypergeometric_upper_tail

__all__ = ["COLUMNS", "ora", "lists_from_table", "universe_sha256", "OPTION_NAMES"]

COLUMNS = [
    "pathway",
    "description",
    "size",
    "overlap",
    "expected",
    "fold_enrichment",
    "odds_ratio",
    "sample_odds_ratio",
    "pval",
    "padj",
    "list_size",
    "universe_size",
    "genes",
]
# The options ora() takes, as declared in _options.py.
OPTION_NAMES = ("universe", "min_size", "max_size", "score_col", "padj_col", "padj_cut", "min_abs_score", "both",
                "map_ids", "gene_col")  # fmt: skip

# The columns of the results tables users bring (DESeq2, limma, edgeR, Seurat, scanpy), in that order.
SCORE_COLUMNS = ("log2FoldChange", "logFC", "avg_log2FC", "logfoldchanges")
PADJ_COLUMNS = ("padj", "adj.P.Val", "FDR", "p_val_adj", "pvals_adj")
PVALUE_COLUMNS = ("pvalue", "P.Value", "PValue", "p_val", "pvals")


def universe_sha256(genes: Iterable[str]) -> str:
    """SHA-256 of the distinct genes sorted, one a line (UTF-8, each line ending
    in a newline): two runs had the same universe exactly when these agree."""
    text = "".join(f"{g}\n" for g in sorted(set(genes)))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


@dataclass
class Lists:
    """What a gene input gave: named lists (one unnamed list: name None), the
    genes a results table tested (None: not a table) and a line saying what was read."""

    lists: dict[str | None, list[str]]
    tested: list[str] | None
    described: str
    cut: str = ""  # a table's cut, as the messages say it
    smallest_padj: float = float("nan")


# ---------------------------------------------------------------- reading the lists


def _column_of(columns: list, given, known: tuple[str, ...], what: str, option: str, source: str):
    """The position of the column named `given` (a name or a 0-based position), else of the first known name."""
    names = [str(c) for c in columns]
    if given is not None:
        if isinstance(given, int):
            if given >= len(names):
                raise RankingError(f"{source}: no column {given} for {what}; the table has {len(names)}")
            return given
        if given in names:
            return names.index(given)
        raise RankingError(f"{source}: no column named {given!r} for {what} (columns: {', '.join(names)})")
    for name in known:
        if name in names:
            return names.index(name)
    if option is None:
        return None
    raise RankingError(f"{source}: no column of {what} among {', '.join(names)}; name it with ", Advice(option))


def _cut(names, score, padj, pval, labels, options, source: str) -> Lists:
    """The up, down (and both) lists of a results table, and the genes it tested."""
    names = np.asarray(names, dtype=object)
    dup = pd.Series(names).duplicated(keep=False).to_numpy()
    if dup.any():
        shown = ", ".join(list(dict.fromkeys(names[dup]))[:3])
        raise RankingError(f"{source}: gene names repeat ({int(dup.sum())} rows, e.g. {shown}); a results table has "
                           "one row per gene: for a table of several groups, give one group's rows")  # fmt: skip
    tested = ~np.isnan(pval)
    cut, least = options["padj_cut"], options["min_abs_score"]
    with np.errstate(invalid="ignore"):
        significant = tested & (padj < cut)
        up = significant & (score >= least)
        down = significant & (score <= -least)
    lists: dict[str | None, list[str]] = {"up": names[up].tolist(), "down": names[down].tolist()}
    if options["both"]:
        lists["both"] = names[up | down].tolist()
    score_label, padj_label, pval_label = labels
    described = (
        f"{source}: {len(names):,} genes, {int(tested.sum()):,} tested (with {pval_label}); up and down: "
        f"{padj_label} < {cut:g} and {score_label} >= {least:g} or <= {-least:g}: "
        + ", ".join(f"{len(g):,} {name}" for name, g in lists.items())
    )
    cut_text = f"{padj_label} < {cut:g} and |{score_label}| >= {least:g}"
    smallest = float(np.nanmin(padj)) if (~np.isnan(padj)).any() else float("nan")
    return Lists(lists, names[tested].tolist(), described, cut_text, smallest)


def lists_from_table(table: pd.DataFrame, **options: Any) -> tuple[dict[str, list[str]], list[str]]:
    """The up and down lists and the universe of a differential-expression table.

    Parameters
    ----------
    table : pandas.DataFrame
        One row per gene: DESeq2's ``results``, limma's ``topTable``,
        edgeR's ``topTags``, Seurat's ``FindMarkers``, one group of scanpy's
        ``rank_genes_groups_df``.
    **options
        ``score_col``, ``padj_col``, ``padj_cut``, ``min_abs_score``,
        ``both`` and ``gene_col``, as :func:`ora` takes them.

    Returns
    -------
    lists : dict of str to list of str
        ``"up"``: padj < `padj_cut` and score >= `min_abs_score`;
        ``"down"``: padj < `padj_cut` and score <= -`min_abs_score`;
        (``"both"``: their union), each in the table's row order.
    universe : list of str
        Every gene the table tested: those with a p-value (its raw p-value
        column when it has one, else its adjusted one), in the table's order.
    """
    checked = validate(options, ["score_col", "padj_col", "padj_cut", "min_abs_score", "both", "gene_col"])
    got = _from_frame(table, checked, "the table")
    return got.lists, got.tested


def _numbers(frame: pd.DataFrame, i: int, source: str) -> np.ndarray:
    column = frame.iloc[:, i]
    try:
        return pd.to_numeric(column, errors="raise").to_numpy(dtype=float)
    except (ValueError, TypeError):
        raise RankingError(f"{source}: column {frame.columns[i]!r} holds values that are not numbers") from None


def _from_frame(frame: pd.DataFrame, options: Mapping[str, Any], source: str) -> Lists:
    columns = list(frame.columns)
    gene_col = options["gene_col"]
    if gene_col is not None:
        names = frame.iloc[:, _column_of(columns, gene_col, (), "gene names", "gene_col", source)]
    elif not isinstance(frame.index, pd.RangeIndex):
        names = frame.index.to_series()
    else:
        known = [c for c in columns if str(c).lower() in GENE_COLUMNS]
        if len(known) != 1:
            raise RankingError(f"{source}: the genes are neither the row names nor one column named like 'gene'; "
                               "name their column with ", Advice("gene_col"))  # fmt: skip
        names = frame[known[0]]
    if names.isna().any():
        raise RankingError(f"{source}: {int(names.isna().sum())} rows have no gene name")
    score_i = _column_of(columns, options["score_col"], SCORE_COLUMNS, "effects (fold changes)", "score_col", source)
    padj_i = _column_of(columns, options["padj_col"], PADJ_COLUMNS, "adjusted p-values", "padj_col", source)
    pval_i = _column_of(columns, None, PVALUE_COLUMNS, "p-values", None, source)
    pval_i = padj_i if pval_i is None else pval_i
    labels = tuple(f"{columns[i]!s}" for i in (score_i, padj_i, pval_i))
    arrays = [_numbers(frame, i, source) for i in (score_i, padj_i, pval_i)]
    return _cut(names.astype(str).to_numpy(), *arrays, labels, options, source)


def _table_frame(table: Table) -> pd.DataFrame:
    """A parsed table as a DataFrame of text, numbers where a column holds only
    numbers and missing cells (decimal commas read), R's row names as index."""
    columns = [c if c is not None else "" for c in table.columns]
    cells = [[None if is_missing(c) else c for c in fields] for _, fields in table.rows]
    frame = pd.DataFrame(cells, columns=range(len(columns)), dtype=object)
    for i in frame.columns:
        values = frame[i].dropna()
        text = values.str.replace(",", ".", regex=False) if table.decimal == "," else values
        numbers = pd.to_numeric(text, errors="coerce")
        if numbers.notna().all():
            frame[i] = pd.to_numeric(frame[i].str.replace(",", ".", regex=False) if table.decimal == "," else frame[i])
    frame.columns = columns
    if table.row_names:
        frame = frame.set_index(columns[0])
    return frame


def _one_a_line(text: str) -> list[str] | None:
    """The genes of a file of one gene a line (a header such as 'gene' skipped), or None."""
    lines = [line.strip().strip('"') for line in text.splitlines()]
    lines = [line for line in lines if line and not line.startswith("#")]
    if not lines or any(any(c in line for c in "\t,; ") for line in lines):
        return None
    return lines[1:] if lines[0].lower() in GENE_COLUMNS else lines


def _from_file(path, options: Mapping[str, Any]) -> Lists:
    source = read_source(os.fspath(path) if path != "-" else path)
    name = source.name
    genes = _one_a_line(source.text)
    if genes is not None:
        return Lists({None: genes}, None, f"{name}: {len(genes):,} genes, one a line")
    table = parse_table(source)
    frame = _table_frame(table)
    columns = [str(c) for c in frame.columns]
    is_results = options["padj_col"] is not None or any(c in columns for c in PADJ_COLUMNS)
    if is_results:
        return _from_frame(frame, options, name)
    gene_i = _gene_column(table, options["gene_col"], set())
    genes = [f[gene_i].strip() for _, f in table.rows if not is_missing_name(f[gene_i])]
    return Lists({None: genes}, None, f"{name}: {len(genes):,} genes from {table.label(gene_i)}")


def _read_lists(genes: Any, options: Mapping[str, Any]) -> Lists:
    if is_pandas(genes, "DataFrame"):
        return _from_frame(genes, options, "the table")
    if isinstance(genes, (str, os.PathLike)):
        return _from_file(genes, options)
    if isinstance(genes, Mapping):
        lists = {str(k): _names(v, f"list {k!r}") for k, v in genes.items()}
        shown = ", ".join(f"{k} ({len(v):,} genes)" for k, v in lists.items())
        return Lists(dict(lists), None, f"{len(lists)} lists: {shown}")
    if isinstance(genes, Iterable):
        lists = {None: _names(genes, "the list")}
        return Lists(lists, None, f"a list of {len(lists[None]):,} genes")
    raise TypeError(f"genes must be a list of genes, a mapping of named lists, a file or a results table, not "
                    f"{type(genes).__name__}")  # fmt: skip


def _names(genes: Any, what: str) -> list[str]:
    if isinstance(genes, (str, bytes)) or not isinstance(genes, Iterable):
        raise TypeError(f"{what} must be a sequence of gene names, not {type(genes).__name__}")
    return [str(g) for g in genes]


def _read_universe(universe: Any) -> tuple[list[str], str]:
    if isinstance(universe, (str, os.PathLike)):
        got = _from_file(universe, {"gene_col": None, "padj_col": None})
        genes = got.lists[None] if got.tested is None else got.tested
        return genes, f"from {os.fspath(universe)}"
    return _names(universe, "universe"), "as given"


def _map(genes: list[str], style: str) -> tuple[list[str], list[str]]:
    pairs, report = map_pairs([(g, 0.0, i) for i, g in enumerate(genes)], style)
    return [g for g, _, _ in pairs], report.unmapped


# ---------------------------------------------------------------- the analysis


def ora(
    genes: Any,
    gene_sets: Any,
    *,
    universe: Any = None,
    min_size: int = 15,
    max_size: int = 500,
    score_col: str | int | None = None,
    padj_col: str | int | None = None,
    padj_cut: float = 0.05,
    min_abs_score: float = 1.0,
    both: bool = False,
    map_ids: str | None = None,
    gene_col: str | int | None = None,
) -> pd.DataFrame:
    """Over-representation of gene lists in gene sets (one-sided Fisher test).

    Parameters
    ----------
    genes : list, mapping, file or results table
        One gene list; named lists (``{"up": [...], "down": [...]}``),
        each analysed against the one universe; a file of genes (one a
        line, or a table's gene column); or a results table (a DataFrame,
        or a DESeq2, limma, edgeR, Seurat or scanpy table read from a file)
        whose up and down genes are listed at ``padj < padj_cut`` and
        ``|score| >= min_abs_score``. Repeated genes count once; genes
        outside the universe are dropped and counted.
    gene_sets : str, os.PathLike or mapping
        A GMT or MSigDB JSON file, a shipped collection's name ('go_bp',
        'go_mf', 'go_cc') or a mapping name -> genes.
    universe : list of str, str or os.PathLike, optional
        Every gene that could have been listed (the genes measured), or a
        file of them. Default: for a results table, every gene it tested
        (with a p-value); otherwise the union of the gene sets' genes, with
        a :class:`RankingWarning`: genes in no set then cannot be counted,
        and genes never measured count as could-have-been-listed, which
        makes the p-values too small.
    min_size, max_size : int
        The tested sets are those with ``min_size`` <= size <= ``max_size``
        genes in the universe; the adjustment runs over all of them.
    score_col, padj_col : str or int, optional
        A results table's effect and adjusted p-value columns (default: the
        names DESeq2, limma, edgeR, Seurat and scanpy give them).
    padj_cut, min_abs_score : float
        A table's gene is listed when its adjusted p-value is below
        `padj_cut` and its effect at least `min_abs_score` from 0.
    both : bool
        Also analyse a table's up and down genes together (list ``both``).
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human gene IDs of the lists and the universe alike to current
        symbols (see :func:`rsvelmo.read_ranks`).
    gene_col : str or int, optional
        The genes' column of a table (default: its row names, else a column
        named like 'gene').

    Returns
    -------
    pandas.DataFrame
        One row per list and tested set (overlap 0 included), columns
        ``COLUMNS`` (preceded by ``list`` with several lists), each list
        sorted by p-value (ties in the sets' order); see the module's
        docstring for each column's definition. ``attrs`` holds
        ``universe_size``, ``universe_source`` (where it came from),
        ``universe_sha256`` (:func:`universe_sha256`), ``reading`` (what
        was read) and ``lists``: each list's ``given``, ``in_universe`` and
        ``outside_universe`` gene counts.
    """
    given = locals()  # the arguments only, at this point: each checked as _options.py declares it
    options = validate(given, OPTION_NAMES)
    sets = GeneSets.load(gene_sets)
    got = _read_lists(genes, options)
    if options["universe"] is not None:
        universe_genes, where = _read_universe(options["universe"])
    elif got.tested is not None:
        universe_genes, where = got.tested, "the genes the table tested"
    else:
        universe_genes, where = None, "the gene sets' genes"
    style = options["map_ids"]
    if style is not None:
        if style == "auto":
            style = detect_style(universe_genes or [g for genes in got.lists.values() for g in genes])
        got.lists = {name: _map(genes, style)[0] for name, genes in got.lists.items()}
        if universe_genes is not None:
            universe_genes, unmapped = _map(universe_genes, style)
            if unmapped and style != "symbol":
                warn(f"universe: {len(unmapped):,} of {len(unmapped) + len(universe_genes):,} gene IDs are not in "
                     "the table of human genes and were left out", stacklevel=2)  # fmt: skip
    if universe_genes is None:
        universe_genes = list(dict.fromkeys(g for genes in sets.sets.values() for g in genes))
        warn(f"no universe given: the universe is the {len(universe_genes):,} genes of the gene sets; genes of the "
             "list in no set are dropped, and every gene of the sets counts as one that could have been listed "
             "(too many, if some were never measured: the p-values come out too small). Give the genes that "
             "were measured with ", Advice("universe"), stacklevel=2)  # fmt: skip
    if got.tested is not None:
        source = got.described.split(":")[0]
        if not any(got.lists.values()):
            raise RankingError(f"{source}: no gene passes {got.cut} (the smallest adjusted p-value is "
                               f"{got.smallest_padj:.3g}), so there is no list to analyse; loosen ",
                               Advice("padj_cut"), " or ", Advice("min_abs_score"))  # fmt: skip
        for name in [n for n, g in got.lists.items() if not g]:
            warn(f"{source}: no gene is {name} at {got.cut}; no rows for it", stacklevel=2)
            del got.lists[name]
    result = _count(got.lists, sets, universe_genes, options["min_size"], options["max_size"])
    if result.attrs["sets_tested"] == 0:
        warn(f"no gene set has {options['min_size']} to {options['max_size']} genes in the universe of "
             f"{result.attrs['universe_size']:,}: do its genes and the sets' share one kind of name (symbols; ",
             Advice("map_ids", "auto"), " maps Ensembl and Entrez IDs), and is ", Advice("min_size"),
             " right?", stacklevel=2)  # fmt: skip
    result.attrs.update(universe_source=where, universe_sha256=universe_sha256(universe_genes), reading=got.described)
    return result


def _count(lists: Mapping[str | None, list[str]], sets: GeneSets, universe: list[str], min_size: int, max_size: int):
    """The table of every list against every tested set."""
    list_names, list_genes = list(lists), [list(dict.fromkeys(g)) for g in lists.values()]
    set_names = list(sets.sets)
    descriptions = [sets.descriptions.get(s) for s in set_names]
    counts = np.array([len(g) for g in sets.sets.values()], dtype=np.int64)
    flat = [g for genes in sets.sets.values() for g in genes]
    genes = list(dict.fromkeys(universe))
    N = len(genes)
    if N == 0:
        raise RankingError("the universe is empty")
    index = {g: i for i, g in enumerate(genes)}

    # Every (set, gene in the universe) pair once, grouped by set.
    members = pd.Index(genes).get_indexer(flat) if flat else np.empty(0, dtype=np.int64)
    owner = np.repeat(np.arange(len(set_names), dtype=np.int64), counts)
    keep = members >= 0
    pairs = np.sort(owner[keep] * N + members[keep])
    pairs = pairs[np.concatenate([[True], pairs[1:] != pairs[:-1]])] if pairs.size else pairs
    owner, members = pairs // N, pairs % N
    sizes = np.bincount(owner, minlength=len(set_names))
    tested = np.flatnonzero((sizes >= min_size) & (sizes <= max_size))
    row = np.full(len(set_names), -1, dtype=np.int64)
    row[tested] = np.arange(tested.size)
    in_range = row[owner] >= 0
    # By gene: the tested sets holding gene g are set_rows[gene_start[g]:gene_start[g + 1]].
    by_gene = np.argsort(members[in_range], kind="stable")
    set_rows = row[owner[in_range]][by_gene]
    gene_start = np.concatenate([[0], np.cumsum(np.bincount(members[in_range], minlength=N))])
    names_arr = np.array(genes, dtype=object)

    summary: dict[str, dict[str, int]] = {}
    parts = []
    for li, (lname, lgenes) in enumerate(zip(list_names, list_genes)):
        inside = [index[g] for g in lgenes if g in index]
        key = "genes" if lname is None else lname
        summary[key] = {
            "given": len(lgenes),
            "in_universe": len(inside),
            "outside_universe": len(lgenes) - len(inside),
        }
        if not inside:
            warn(f"list {key!r} has no gene in the universe: no rows for it", stacklevel=3)
            continue
        listed = np.array(inside, dtype=np.int64)
        first, count = gene_start[listed], gene_start[listed + 1] - gene_start[listed]
        rank = np.repeat(np.arange(listed.size), count)  # each hit's gene, as its rank in the list
        pos = np.arange(rank.size) - np.repeat(np.cumsum(count) - count, count) + np.repeat(first, count)
        hit_rows = set_rows[pos]
        k = np.bincount(hit_rows, minlength=tested.size)
        # the overlap's genes in the list's order: the hits sorted by (set, rank in the list)
        order = np.lexsort((rank, hit_rows))
        hit_genes = names_arr[listed[rank[order]]].tolist()
        ends = np.cumsum(k).tolist()
        overlap_genes = [hit_genes[a:b] for a, b in zip([0] + ends[:-1], ends)]
        parts.append((li, lname, len(inside), k, overlap_genes))

    columns = (["list"] if list_names != [None] else []) + COLUMNS
    if not parts:
        result = pd.DataFrame({c: [] for c in columns})
    else:
        T = tested.size
        K = np.tile(sizes[tested], len(parts))
        n = np.repeat([p[2] for p in parts], T)
        k = np.concatenate([p[3] for p in parts])
        pval = hypergeometric_upper_tail(k, N, K, n)
        padj = np.concatenate([bh_adjust(pval[i * T : (i + 1) * T]) for i in range(len(parts))])
        expected = n * K / N
        with np.errstate(divide="ignore", invalid="ignore"):
            fold = k / expected
            sample_or = (k * (N - K - n + k)).astype(float) / ((K - k) * (n - k)).astype(float)
        # each list in its order, sorted by p-value, ties in the sets' order
        order = np.lexsort((np.tile(np.arange(T), len(parts)), pval, np.repeat(np.arange(len(parts)), T)))
        genes_all = [g for p in parts for g in p[4]]
        result = pd.DataFrame(
            {
                "list": np.repeat(np.array([p[1] for p in parts], dtype=object), T)[order],
                "pathway": np.tile(np.array([set_names[i] for i in tested], dtype=object), len(parts))[order],
                "description": np.tile(np.array([descriptions[i] for i in tested], dtype=object), len(parts))[order],
                "size": K[order],
                "overlap": k[order],
                "expected": expected[order],
                "fold_enrichment": fold[order],
                "odds_ratio": conditional_mle_odds_ratio(k, N, K, n)[order],
                "sample_odds_ratio": sample_or[order],
                "pval": pval[order],
                "padj": padj[order],
                "list_size": n[order],
                "universe_size": np.full(k.size, N, dtype=np.int64),
                "genes": [genes_all[i] for i in order.tolist()],
            },
            columns=columns,
        )
    result.attrs["universe_size"] = N
    result.attrs["sets_tested"] = int(tested.size)
    result.attrs["lists"] = summary
    return result
