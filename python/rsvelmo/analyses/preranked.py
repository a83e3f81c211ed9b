"""The Python API: one ranking or many against a collection of gene sets,
answered as pandas tables."""

from __future__ import annotations

import concurrent.futures
import os
from typing import Any, Callable, Mapping

from .._engine import SETTLED_AT
from .._errors import Advice, RankingError, warn
from .._options import ANALYSIS, DEFAULT, READING, engine_options, validate
from .._results import COLUMNS, floor_flip_risk, is_pandas, require, results_frame
from ..readers.gene_sets import GeneSets
from ..readers.rankings import as_ranking, collapse, rankings_file
from .checks import check_overlap, check_ranking, check_tied_sets
from .many import run_many, run_one

__all__ = ["gsea", "gsea_many", "prepare", "finish"]

_ANALYSIS = [o.name for o in ANALYSIS]
_READING = [o.name for o in READING]


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


def finish(
    records: list[dict[str, Any]],
    table: Mapping[str, float],
    options: Mapping[str, Any],
    source: str = "ranking",
    padj_cut: float = DEFAULT.padj,
    stacklevel: int = 3,
) -> list[dict[str, Any]]:
    """The engine's records of one ranking (each with its ``flip_risk``, which
    the engine computes at the cut of ``engine_options``; below
    ``FLIP_RISK_FLOOR`` shown as 0), after warning about significant gene sets
    that ties decide (`options`: checked)."""
    check_tied_sets(records, table, source, padj_cut, stacklevel=stacklevel)
    floor_flip_risk(records)
    return records


def _quoting(function: Callable) -> Callable:
    """Write the declared numbers that a docstring quotes (``{padj}``) into it."""
    numbers = {"settled_at": SETTLED_AT, "padj": DEFAULT.padj, "min_size": DEFAULT.min_size,
               "max_size": DEFAULT.max_size}  # fmt: skip
    for name, value in numbers.items():
        if function.__doc__:  # not under python -OO
            function.__doc__ = function.__doc__.replace(f"{{{name}}}", f"{value:g}")
    return function


@_quoting
def gsea(
    ranks: Any,
    gene_sets: Any,
    *,
    min_size: int = DEFAULT.min_size,
    max_size: int = DEFAULT.max_size,
    nperm: int = DEFAULT.nperm,
    refine: bool | str = DEFAULT.refine,
    stable_calls: float | str | None = DEFAULT.stable_calls,
    eps: float = DEFAULT.eps,
    score_type: str = DEFAULT.score_type,
    gsea_param: float = DEFAULT.gsea_param,
    sample_size: int = DEFAULT.sample_size,
    seed: int = DEFAULT.seed,
    threads: int | None = DEFAULT.threads,
    gene_col: str | int | None = DEFAULT.gene_col,
    score_col: str | int | None = DEFAULT.score_col,
    map_ids: str | None = DEFAULT.map_ids,
    ignore_case: bool = DEFAULT.ignore_case,
    na: str = DEFAULT.na,
    duplicates: str = DEFAULT.duplicates,
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
        A GMT file or an MSigDB JSON file (either optionally gzipped), the
        name of a collection shipped with rsvelmo ('go_bp', 'go_mf',
        'go_cc'; see :func:`collections`), or a mapping name -> list of genes.
    min_size, max_size : int
        Gene sets with fewer or more of their genes in the ranking are not
        tested (defaults {min_size} and {max_size}, as on the command line).
    nperm : int
        Number of permutations.
    refine : bool or 'all'
        True: refine, by the multilevel method, every p-value the
        permutations cannot resolve (down to `eps`); False: permutations
        only; 'all': refine every gene set.
    stable_calls : float, 'auto' or None
        Settle the significance calls at this padj cut: gene sets whose
        p-value lies within {settled_at} standard errors (`log2err`) of the
        Benjamini-Hochberg cut get new multilevel estimates with 4, 16, ...
        times `sample_size`, nearest the cut first, until they lie that far
        or the new estimates would cost more than half of what the
        refinement spent (about 1.3 times the run time in all), so that
        another seed changes fewer of the gene sets that pass the cut.
        'auto' (the default) settles at padj < {padj} unless `refine` is
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
        the gene set across the settled cut, or padj < {padj}), leading_edge
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
    return results_frame(finish(records, table, options), sort, sets.descriptions)


def _many_rankings(rankings: Any, score: str, key: str, options: Mapping[str, Any]) -> dict[str, Any]:
    if isinstance(rankings, (str, os.PathLike)):
        if options["group_col"] is None:
            raise RankingError(
                f"{os.fspath(rankings)}: a file of several rankings needs the column that names them: ",
                Advice("group_col"),
            )
        return rankings_file(rankings, options)
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
    min_size: int = DEFAULT.min_size,
    max_size: int = DEFAULT.max_size,
    nperm: int = DEFAULT.nperm,
    refine: bool | str = DEFAULT.refine,
    stable_calls: float | str | None = DEFAULT.stable_calls,
    eps: float = DEFAULT.eps,
    score_type: str = DEFAULT.score_type,
    gsea_param: float = DEFAULT.gsea_param,
    sample_size: int = DEFAULT.sample_size,
    seed: int = DEFAULT.seed,
    threads: int | None = DEFAULT.threads,
    gene_col: str | int | None = DEFAULT.gene_col,
    score_col: str | int | None = DEFAULT.score_col,
    group_col: str | int | None = DEFAULT.group_col,
    map_ids: str | None = DEFAULT.map_ids,
    ignore_case: bool = DEFAULT.ignore_case,
    na: str = DEFAULT.na,
    duplicates: str = DEFAULT.duplicates,
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
        finish(found, tables[name], options, f"ranking {name!r}")
    frames = []
    for name, found in records.items():
        frame = results_frame(found, sort, sets.descriptions)
        frame.insert(0, "ranking", name)
        frames.append(frame)
    if not frames:
        return pd.DataFrame(columns=["ranking", *COLUMNS])
    return pd.concat(frames, ignore_index=True)
