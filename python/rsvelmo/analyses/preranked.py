"""The Python API: one ranking or many against a collection of gene sets,
answered as pandas tables."""

from __future__ import annotations

import concurrent.futures
import math
import os
from typing import Any, Callable, Iterable, Mapping

from .._errors import Advice, RankingError, warn
from .._options import ANALYSIS, READING, engine_options, flip_risk_cut, validate
from .._results import COLUMNS, add_flip_risk, is_pandas, require, results_frame
from ..readers.gene_sets import GeneSets
from ..readers.identifiers import sources
from ..readers.rankings import collapse, mapped, read_rankings, read_ranks
from ..readers.tables import is_missing_name
from .checks import check_overlap, check_ranking, check_tied_sets
from .many import run_many, run_one

__all__ = ["gsea", "gsea_many", "gene_sets", "collections", "as_ranking", "prepare"]

_ANALYSIS = [o.name for o in ANALYSIS]
_READING = [o.name for o in READING]


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
    """
    if isinstance(ranks, (str, os.PathLike)):
        series = read_ranks(ranks, gene_col, score_col, duplicates, na, map_ids)
        return dict(zip(series.index, series.to_numpy().tolist()))
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


def _upper_ranking(ranks: dict[str, float], duplicates: str, source: str) -> dict[str, float]:
    groups: dict[str, list[str]] = {}
    for gene in ranks:
        groups.setdefault(gene.upper(), []).append(gene)
    merged = [names for names in groups.values() if len(names) > 1]
    if merged:
        shown = "; ".join(" and ".join(repr(n) for n in names) for names in merged[:5])
        if duplicates == "error":
            raise RankingError(
                f"{source}: with ", Advice("ignore_case", True), f", {len(merged)} gene name(s) become equal "
                f"({shown}); collapse them with ", Advice("duplicates", "first"), ", ", Advice("duplicates", "max_abs"),
                " or ", Advice("duplicates", "mean"),
            )  # fmt: skip
        warn(
            f"{source}: with ", Advice("ignore_case", True), f", merged {len(merged)} gene name(s) ({shown}) with ",
            Advice("duplicates", duplicates), stacklevel=4,
        )  # fmt: skip
    pairs = [(gene.upper(), score, i) for i, (gene, score) in enumerate(ranks.items())]
    return collapse(pairs, "first" if duplicates == "error" else duplicates, source)[0]


def prepare(
    ranks: Any, gene_sets: GeneSets, options: Mapping[str, Any], source: str = "ranking", stacklevel: int = 3
) -> tuple[dict[str, float], GeneSets]:
    """Read and check one ranking against the gene sets, as every front door does
    (`options`: checked reading and analysis options)."""
    table = as_ranking(
        ranks,
        options["duplicates"],
        source,
        options["na"],
        options["gene_col"],
        options["score_col"],
        options["map_ids"],
    )
    sets = gene_sets
    if options["ignore_case"]:
        table = _upper_ranking(table, options["duplicates"], source)
        sets = gene_sets.upper_cased()
    check_ranking(table, options["score_type"], source, stacklevel=stacklevel + 1)
    check_overlap(table, sets, options["min_size"], options["max_size"], source, stacklevel=stacklevel + 1)
    return table, sets


def gsea(
    ranks: Any,
    gene_sets: Any,
    *,
    min_size: int = 15,
    max_size: int = 500,
    nperm: int = 1000,
    refine: bool | str = True,
    stable_calls: float | str | None = "auto",
    eps: float = 1e-50,
    score_type: str = "std",
    gsea_param: float = 1.0,
    sample_size: int = 101,
    seed: int = 42,
    threads: int | None = None,
    gene_col: str | int | None = None,
    score_col: str | int | None = None,
    map_ids: str | None = None,
    ignore_case: bool = False,
    na: str = "error",
    duplicates: str = "error",
    progress: bool | Callable | None = None,
    sort: bool = True,
):
    """Run the preranked gene set enrichment analysis of one ranking.

    Parameters
    ----------
    ranks : dict, pandas.Series, pandas.DataFrame, str or os.PathLike
        Gene -> score (higher = more up-regulated): a dict, a Series indexed
        by gene, a DataFrame (two columns, or `gene_col` and `score_col`) or
        a ranking file (see :func:`read_ranks`).
    gene_sets : str, os.PathLike or mapping
        A GMT file (optionally gzipped) or a mapping name -> list of genes.
    min_size, max_size : int
        Gene sets with fewer or more of their genes in the ranking are not
        tested (defaults 15 and 500, as on the command line).
    nperm : int
        Number of permutations.
    refine : bool or 'all'
        True: refine, by the multilevel method, every p-value the
        permutations cannot resolve (down to `eps`); False: permutations
        only; 'all': refine every gene set.
    stable_calls : float, 'auto' or None
        Settle the significance calls at this padj cut: gene sets whose
        p-value lies within 2.576 standard errors (`log2err`) of the
        Benjamini-Hochberg cut get new multilevel estimates with 4, 16, ...
        times `sample_size`, nearest the cut first, until they lie that far
        or the new estimates would cost more than half of what the
        refinement spent (about 1.3 times the run time in all), so that
        another seed changes fewer of the gene sets that pass the cut.
        'auto' (the default) settles at padj < 0.05 unless `refine` is
        False; None does not settle.
    eps : float
        Smallest p-value computed, in [0, 1]; smaller ones are reported as eps.
    score_type : {'std', 'pos', 'neg'}
        Two-sided enrichment, or one-sided for all-positive (all-negative) rankings.
    gsea_param : float
        Exponent of the score weights.
    sample_size : int
        Sample size of the multilevel method (at least 3).
    seed : int
        Random seed; results are identical for a seed whatever `threads` is.
    threads : int, optional
        Worker threads (the first call of a process fixes them); all cores by default.
    gene_col, score_col : str or int, optional
        The columns of a ranking file or DataFrame that hold the genes and
        the scores (see :func:`read_ranks`).
    map_ids : {None, 'auto', 'ensembl', 'entrez', 'symbol'}
        Map human Ensembl or Entrez IDs, previous symbols and aliases to
        current symbols (see :func:`read_ranks`); None keeps the names.
    ignore_case : bool
        Match gene names case-insensitively (both sides upper-cased).
    na : {'error', 'drop'}
        Refuse genes without a score or a name, or drop them with a warning.
    duplicates : {'error', 'first', 'max_abs', 'mean'}
        What to do with a gene named twice.
    progress : bool or callable, optional
        True: a tqdm progress bar on stderr; a callable is called as
        progress(stage, done, total).
    sort : bool
        Sort rows by p-value, then |NES| descending; False keeps the order by name.

    Returns
    -------
    pandas.DataFrame
        One row per tested gene set: pathway, description, size, es, nes,
        pval, padj, log2err, flip_risk (the chance that more sampling moves
        the gene set across the settled cut, or padj < 0.05), leading_edge
        (list of genes) and leading_edge_size; NaN where a value was not
        computed.

    Raises
    ------
    RankingError
        A ranking that cannot be analysed (unreadable, all scores equal, no
        gene set testable with its genes, ...).
    ValueError, TypeError
        A bad option, named in the message.
    OSError
        A gene-set file that cannot be read.

    Warns
    -----
    RankingWarning
        Ties holding more than 1% of the genes, an all-positive ranking with
        score_type='std', a filtered ranking, gene names turned into dates,
        most ranking genes in no gene set, collapsed duplicates, dropped rows.
    """
    require("pandas", "pandas", "rsvelmo.gsea")
    given = dict(locals())
    options = validate(given, _ANALYSIS + [n for n in _READING if n != "group_col"])
    table, sets = prepare(ranks, GeneSets.load(gene_sets), options)
    records = run_one(table, sets, engine_options(options), progress)
    check_tied_sets(records, table)
    add_flip_risk(records, flip_risk_cut(options))
    return results_frame(records, sort, sets.descriptions)


def _many_rankings(rankings: Any, score: str, key: str, options: Mapping[str, Any]) -> dict[str, Any]:
    if isinstance(rankings, (str, os.PathLike)):
        if options["group_col"] is None:
            raise RankingError(
                f"{os.fspath(rankings)}: a file of several rankings needs the column that names them: ",
                Advice("group_col"),
            )
        return read_rankings(
            rankings, options["group_col"], options["gene_col"], options["score_col"], options["duplicates"],
            options["na"], options["map_ids"],
        )  # fmt: skip
    if type(rankings).__name__ == "AnnData":
        return _from_anndata(rankings, score, key)
    if is_pandas(rankings, "DataFrame"):
        columns = set(rankings.columns)
        group = options["group_col"] or ("group" if {"group", "names"} <= columns else None)
        if group is not None:  # scanpy's rank_genes_groups_df, all groups
            genes = options["gene_col"] or "names"
            scores = options["score_col"] or score
            for column in (group, genes, scores):
                if column not in columns:
                    raise RankingError(
                        f"rankings: the table has no column {column!r} (columns: "
                        f"{', '.join(map(str, rankings.columns))})"
                    )
            return {
                str(g): dict(zip(part[genes].astype(str), part[scores]))
                for g, part in rankings.groupby(group, sort=False, observed=True)
            }
        # genes x contrasts: each column is one ranking; an empty (NaN) cell
        # means the gene was not measured in that contrast and is left out.
        return {str(c): rankings[c].dropna() for c in rankings.columns}
    if isinstance(rankings, Mapping):
        return dict(rankings)
    raise TypeError(
        "rankings: expected a mapping name -> ranking, a genes x contrasts DataFrame, a long table "
        f"(group, names, scores), its file with group_col, or an AnnData, not {type(rankings).__name__}"
    )


def _from_anndata(adata: Any, score: str, key: str) -> dict[str, dict[str, float]]:
    """One ranking per group of scanpy's rank_genes_groups result."""
    if key not in adata.uns:
        raise RankingError(
            f"rankings: the AnnData has no .uns[{key!r}]; run scanpy.tl.rank_genes_groups first "
            "(or name its key with key=)"
        )
    result = adata.uns[key]
    for field in ("names", score):
        if field not in result:
            raise RankingError(
                f"rankings: .uns[{key!r}] has no field {field!r} (fields: {', '.join(map(str, result.keys()))})"
            )
    names, values = result["names"], result[score]
    return {str(group): {str(g): float(s) for g, s in zip(names[group], values[group])} for group in names.dtype.names}


def gsea_many(
    rankings: Any,
    gene_sets: Any,
    executor: concurrent.futures.Executor | None = None,
    *,
    min_size: int = 15,
    max_size: int = 500,
    nperm: int = 1000,
    refine: bool | str = True,
    stable_calls: float | str | None = "auto",
    eps: float = 1e-50,
    score_type: str = "std",
    gsea_param: float = 1.0,
    sample_size: int = 101,
    seed: int = 42,
    threads: int | None = None,
    gene_col: str | int | None = None,
    score_col: str | int | None = None,
    group_col: str | int | None = None,
    map_ids: str | None = None,
    ignore_case: bool = False,
    na: str = "error",
    duplicates: str = "error",
    progress: bool | None = None,
    max_workers: int | None = None,
    score: str = "scores",
    key: str = "rank_genes_groups",
    sort: bool = True,
):
    """Run one analysis per ranking, in worker processes.

    Parameters
    ----------
    rankings : mapping, pandas.DataFrame, anndata.AnnData, str or os.PathLike
        A mapping name -> ranking (any form :func:`gsea` accepts); a genes x
        contrasts DataFrame (one ranking per column, NaN cells left out); a
        long table with the columns group, names and `score` (scanpy's
        ``rank_genes_groups_df``), in memory or as a file with `group_col`;
        or an AnnData after ``scanpy.tl.rank_genes_groups`` (one ranking per
        group).
    gene_sets : str, os.PathLike or mapping
        As in :func:`gsea`.
    executor : concurrent.futures.Executor, optional
        Any executor, e.g. a Dask client's ``client.get_executor()``; by
        default a local process pool of `max_workers` processes (all cores).
    group_col : str or int, optional
        The column of a long table that names each row's ranking.
    score, key : str
        For an AnnData: the field of ``.uns[key]`` that ranks the genes.
    progress : bool, optional
        A progress bar over rankings (default: when stderr is a terminal).
    min_size, max_size, nperm, refine, stable_calls, eps, score_type, gsea_param, sample_size, seed, threads, \
gene_col, score_col, map_ids, ignore_case, na, duplicates, sort
        As in :func:`gsea`; each analysis uses one thread unless `threads` is given.

    Returns
    -------
    pandas.DataFrame
        The column ``ranking`` followed by the columns of :func:`gsea`,
        rankings in the given order, each sorted as :func:`gsea` sorts. The
        results are those of separate :func:`gsea` calls.

    Notes
    -----
    Ctrl-C or SIGTERM stops every worker process before the call returns.
    """
    pd = require("pandas", "pandas", "rsvelmo.gsea_many")
    options = validate(dict(locals()), _ANALYSIS + _READING)
    sets = GeneSets.load(gene_sets)
    tables = {}
    checked_sets = sets
    split = isinstance(rankings, (str, os.PathLike)) or options["group_col"] is not None
    # The columns of a long table were used to split it; those of a mapping's files are read from each.
    per_ranking = {**options, "gene_col": None, "score_col": None} if split else options
    if isinstance(rankings, (str, os.PathLike)):
        per_ranking["map_ids"] = None  # mapped as the file was read
    for name, ranking in _many_rankings(rankings, score, key, options).items():
        tables[name], checked_sets = prepare(ranking, sets, per_ranking, source=f"ranking {name!r}")
    records = run_many(tables, checked_sets, engine_options(options), executor, progress, max_workers)
    for name, found in records.items():
        check_tied_sets(found, tables[name], f"ranking {name!r}")
        add_flip_risk(found, flip_risk_cut(options))
    frames = []
    for name, found in records.items():
        frame = results_frame(found, sort, sets.descriptions)
        frame.insert(0, "ranking", name)
        frames.append(frame)
    if not frames:
        return pd.DataFrame(columns=["ranking", *COLUMNS])
    return pd.concat(frames, ignore_index=True)


def gene_sets(name) -> dict[str, list[str]]:
    """The gene sets of a shipped collection or of a file.

    Parameters
    ----------
    name : str or os.PathLike
        'go_bp', 'go_mf' or 'go_cc' (the Gene Ontology's human collections
        shipped with the package, see :func:`collections`), or a GMT or
        MSigDB JSON file, optionally gzipped.

    Returns
    -------
    dict
        Gene-set name -> genes, in file order (for GO, the term's ID; its name
        is the description that tables and figures show).
    """
    return dict(GeneSets.load(name).sets)


def collections():
    """The gene-set collections shipped with the package.

    Returns
    -------
    pandas.DataFrame
        One row per collection: its name (what :func:`gsea` and the command
        line take where a file is expected), what it holds, the number of
        gene sets and genes, the sizes kept, the release and the licence.
    """
    pd = require("pandas", "pandas", "rsvelmo.collections")
    shipped = sources()
    go = shipped["gene_ontology"]
    rows = [
        {
            "name": name,
            "title": f"Gene Ontology {entry['title']} (human, annotations propagated to parent terms)",
            "gene_sets": entry["gene_sets"],
            "genes": entry["genes"],
            "sizes": f"{entry['sizes'][0]} to {entry['sizes'][1]}",
            "release": f"GO {go['release']}, annotations {go['annotations']}",
            "source": go["source"],
            "licence": go["licence"],
        }
        for name, entry in shipped["collections"].items()
    ]
    return pd.DataFrame(rows)
