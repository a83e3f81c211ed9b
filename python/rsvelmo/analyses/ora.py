"""Over-representation analysis of gene lists against gene sets.

Pure computation on plain Python and pandas objects: the gene sets, the
lists and the universe come in as names, the table of results goes out.
Reading files, mapping identifiers and writing outputs belong to the callers.

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
"""

from __future__ import annotations

import logging
import warnings
from collections.abc import Iterable, Mapping, Sequence

import numpy as np
import pandas as pd

__all__ = [
    "COLUMNS",
    "DefaultUniverseWarning",
    "ora",
    "lists_from_table",
    "bh_adjust",
    "conditional_mle_odds_ratio",
    "hypergeometric_upper_tail",
]

log = logging.getLogger(__name__)

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

GeneSetsInput = Mapping[str, tuple[str | None, Iterable[str]]] | Sequence[tuple[str, str | None, Iterable[str]]]


class DefaultUniverseWarning(UserWarning):
    """The universe was not given and defaults to the gene sets' genes."""


def _scipy_stats():
    try:
        from scipy import stats
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(
            "over-representation analysis needs scipy; install it with: pip install 'rsvelmopy[ora]'"
        ) from e
    return stats


# ---------------------------------------------------------------- inputs


def _gene_sets(gene_sets: GeneSetsInput) -> tuple[list[str], list[str | None], list[str], np.ndarray]:
    """Names, descriptions, every set's genes one after the other, and how
    many genes each set gave (repeats included)."""
    if isinstance(gene_sets, Mapping):
        items = [(name, *value) for name, value in gene_sets.items()]
    else:
        items = list(gene_sets)
    names: list[str] = []
    descriptions: list[str | None] = []
    flat: list[str] = []
    counts = np.empty(len(items), dtype=np.int64)
    seen: set[str] = set()
    for i, item in enumerate(items):
        if len(item) != 3 or isinstance(item[2], str):
            raise TypeError(
                "gene sets must map a name to (description, genes) or be (name, description, genes) "
                f"triples; got {item!r:.80}"
            )
        name, description, genes = item
        if name in seen:
            raise ValueError(f"gene set {name!r} appears twice")
        seen.add(name)
        names.append(str(name))
        descriptions.append(None if description is None else str(description))
        before = len(flat)
        flat.extend(map(str, genes))
        counts[i] = len(flat) - before
    return names, descriptions, flat, counts


def _lists(lists) -> tuple[list[str | None], list[list[str]]]:
    if isinstance(lists, str):
        raise TypeError("a gene list must be a sequence of gene names, not one string")
    if isinstance(lists, Mapping):
        names: list[str | None] = [str(k) for k in lists]
        values = list(lists.values())
    else:
        names, values = [None], [lists]
    out = []
    for name, genes in zip(names, values):
        if isinstance(genes, str):
            raise TypeError(f"list {name!r} must be a sequence of gene names, not one string")
        out.append(list(dict.fromkeys(str(g) for g in genes)))
    return names, out


# ---------------------------------------------------------------- statistics


def bh_adjust(pvals) -> np.ndarray:
    """Benjamini-Hochberg adjusted p-values.

    Parameters
    ----------
    pvals : array_like of float
        The p-values of every test of the family.

    Returns
    -------
    numpy.ndarray
        ``min(1, min_{j >= i} m / j * p_(j))`` for the i-th smallest p-value
        p_(i) of m, in the input's order; the same operations in the same
        order as R's ``p.adjust(method = "BH")``, so the same doubles.
    """
    p = np.asarray(pvals, dtype=float)
    m = p.size
    if m == 0:
        return p.copy()
    order = np.argsort(-p, kind="stable")  # decreasing, as R's order(p, decreasing = TRUE)
    i = np.arange(m, 0, -1, dtype=float)
    adjusted = np.minimum(1.0, np.minimum.accumulate((float(m) / i) * p[order]))
    out = np.empty(m)
    out[order] = adjusted
    return out


# Newton's method on t = log(psi) stops when a step is below this many units of
# t's magnitude (plus one): a few ulps, so the root is solved to double precision.
_STEP_TOLERANCE = 4.0 * np.finfo(float).eps
# Past this many iterations the remaining steps are rounding noise of E[X | t].
_MAX_ITERATIONS = 100
# Newton's steps are clipped to this length in t (e^8 ~ 3000-fold in psi) so
# that far from the root, where E[X | t] is flat, it cannot jump past the support.
_MAX_STEP = 8.0
# The weights are summed over a window of the support around k. At the root
# every weight left out must be below e^-45 (3e-20) of the largest: the
# distribution is log-concave, so what lies beyond an edge that low is a
# geometric tail far under the double's precision.
_EDGE_LOG_WEIGHT = -45.0
# The first window spans this many standard deviations (asymptotic variance
# of the table's cell) each side of k, plus a margin; it doubles when too narrow.
_WINDOW_SDS = 10.0
_WINDOW_MARGIN = 16
# Problems are solved in blocks of about this many weights (rows x window).
_BLOCK = 1_000_000


def _solve_log_psi(N: int, K, n, k, lo, hi) -> tuple[np.ndarray, np.ndarray]:
    """log(psi) with E[X | psi] = k, the weights summed over lo..hi only (a
    window of the support, padded to one width): vectorised Newton's method
    with a bisection bracket. Also says, per problem, whether the window's
    inner edges hold negligible weight at the root."""
    width = int((hi - lo).max()) + 1
    x = lo[:, None] + np.arange(width)[None, :]
    valid = x <= hi[:, None]
    support_hi = np.minimum(K, n)[:, None]
    # the ratio from x to x + 1 exists below the support's end; clamped beyond
    xs = np.minimum(x, support_hi - 1).astype(float)
    Kf, nf = K[:, None].astype(float), n[:, None].astype(float)
    # log of C(K, x+1) C(N-K, n-x-1) / (C(K, x) C(N-K, n-x)), the central weights' ratios
    ratio = np.log((Kf - xs) / (xs + 1.0)) + np.log((nf - xs) / (N - Kf - nf + xs + 1.0))
    logc = np.concatenate([np.zeros((len(K), 1)), np.cumsum(ratio[:, :-1], axis=1)], axis=1)
    logc -= np.take_along_axis(logc, (k - lo)[:, None], axis=1)
    logc[~valid] = -np.inf
    d = (x - k[:, None]).astype(float)  # x - k: the mean's offset is computed directly
    # Start from the sample odds ratio with a half added to each cell.
    t = np.log((k + 0.5) * (N - K - n + k + 0.5) / ((K - k + 0.5) * (n - k + 0.5)))
    below = np.full(len(K), -np.inf)  # bracket: f(below) < 0 < f(above)
    above = np.full(len(K), np.inf)
    active = np.arange(len(K))
    for _ in range(_MAX_ITERATIONS):
        if active.size == 0:
            break
        ta = t[active]
        da = d[active]
        lw = logc[active] + da * ta[:, None]
        lw -= lw.max(axis=1, keepdims=True)
        w = np.exp(lw)
        total = w.sum(axis=1)
        dw = da * w
        f = dw.sum(axis=1) / total
        var = (dw * da).sum(axis=1) / total - f * f  # f is 0 at the root: no cancellation there
        below[active] = np.where(f < 0, np.maximum(below[active], ta), below[active])
        above[active] = np.where(f > 0, np.minimum(above[active], ta), above[active])
        step = np.clip(f / var, -_MAX_STEP, _MAX_STEP)
        new = ta - step
        lo_b, hi_b = below[active], above[active]
        # a step that lands on the bracket's end is a step below the root's last ulps, not a miss
        bisect = ((new < lo_b) | (new > hi_b)) & np.isfinite(lo_b) & np.isfinite(hi_b)
        new = np.where(bisect, 0.5 * (np.where(bisect, lo_b, 0.0) + np.where(bisect, hi_b, 0.0)), new)
        t[active] = new
        done = (f == 0) | (np.abs(new - ta) <= _STEP_TOLERANCE * (1.0 + np.abs(ta)))
        active = active[~done]
    lw = logc + d * t[:, None]
    lw -= lw.max(axis=1, keepdims=True)
    rows = np.arange(len(K))
    low_ok = (lo == np.maximum(0, n + K - N)) | (lw[:, 0] < _EDGE_LOG_WEIGHT)
    high_ok = (hi == support_hi[:, 0]) | (lw[rows, hi - lo] < _EDGE_LOG_WEIGHT)
    return t, low_ok & high_ok


def _solve_all(N: int, K, n, k) -> np.ndarray:
    """log(psi) for distinct problems lo < k < hi, in blocks of similar window."""
    support_lo = np.maximum(0, n + K - N)
    support_hi = np.minimum(K, n)
    kf = k.astype(float)
    var = 1.0 / (1.0 / kf + 1.0 / (K - kf) + 1.0 / (n - kf) + 1.0 / (N - K - n + kf))
    half = np.ceil(_WINDOW_SDS * np.sqrt(var)).astype(np.int64) + _WINDOW_MARGIN
    t = np.empty(len(k))
    todo = np.arange(len(k))
    while todo.size:
        lo = np.maximum(support_lo[todo], k[todo] - half[todo])
        hi = np.minimum(support_hi[todo], k[todo] + half[todo])
        # Blocks of windows of similar length (powers of two): the padding costs at most double.
        bucket = np.ceil(np.log2(hi - lo + 1)).astype(int)
        retry = []
        for b in np.unique(bucket):
            members = np.flatnonzero(bucket == b)
            per = max(1, _BLOCK >> int(b))
            for start in range(0, members.size, per):
                part = members[start : start + per]
                idx = todo[part]
                t[idx], ok = _solve_log_psi(N, K[idx], n[idx], k[idx], lo[part], hi[part])
                retry.append(idx[~ok])
        todo = np.concatenate(retry)
        half[todo] *= 2
    return t


def conditional_mle_odds_ratio(k, N: int, K, n) -> np.ndarray:
    """Conditional maximum-likelihood odds ratios of 2 x 2 tables.

    Parameters
    ----------
    k : array_like of int
        The overlaps: genes in both the list and the set.
    N : int
        The universe's size.
    K : array_like of int
        The sets' sizes in the universe.
    n : array_like of int
        The lists' sizes in the universe.

    Returns
    -------
    numpy.ndarray
        psi solving E[X | psi] = k where X follows Fisher's noncentral
        hypergeometric distribution, P(X = x) proportional to
        C(K, x) C(N - K, n - x) psi^x on max(0, n + K - N) <= x <= min(K, n):
        the estimate R's ``fisher.test`` reports, solved here to double
        precision (Newton's method on log(psi) with the weights in log
        space, a bisection bracket as safeguard, each distinct (K, n, k)
        once). 0 at the support's minimum, infinity at its maximum (0 when
        the support is one point, as R).
    """
    k, K, n = np.broadcast_arrays(*(np.asarray(a, dtype=np.int64) for a in (k, K, n)))
    k, K, n = k.ravel(), K.ravel(), n.ravel()
    lo = np.maximum(0, n + K - N)
    hi = np.minimum(K, n)
    out = np.full(k.shape, np.nan)  # stays NaN only for k outside the support
    out[k == lo] = 0.0  # first, as R's fisher.test: a one-point support gives 0
    out[(k == hi) & (lo < hi)] = np.inf
    inner = np.flatnonzero((k > lo) & (k < hi))
    if inner.size:
        keys = np.stack([K[inner], n[inner], k[inner]], axis=1)
        unique, back = np.unique(keys, axis=0, return_inverse=True)
        t = _solve_all(N, unique[:, 0], unique[:, 1], unique[:, 2])
        out[inner] = np.exp(t[back.ravel()])
    return out


def hypergeometric_upper_tail(k, N: int, K, n) -> np.ndarray:
    """P(X >= k) for X hypergeometric: N genes, K in the set, n drawn.

    Parameters
    ----------
    k, K, n : array_like of int
        Overlaps, set sizes and list sizes (in the universe).
    N : int
        The universe's size.

    Returns
    -------
    numpy.ndarray
        SciPy's ``hypergeom.sf(k - 1, N, K, n)`` (Boost's hypergeometric
        distribution, accurate to a few ulps down to the smallest normal
        double and rounded into the subnormals), evaluated once per distinct
        (K, n, k); exactly 1 where k <= 0.
    """
    stats = _scipy_stats()
    k, K, n = np.broadcast_arrays(*(np.asarray(a, dtype=np.int64) for a in (k, K, n)))
    k, K, n = k.ravel(), K.ravel(), n.ravel()
    out = np.ones(k.shape)
    need = np.flatnonzero(k > 0)
    if need.size:
        keys = np.stack([K[need], n[need], k[need]], axis=1)
        unique, back = np.unique(keys, axis=0, return_inverse=True)
        p = stats.hypergeom.sf(unique[:, 2] - 1, N, unique[:, 0], unique[:, 1])
        out[need] = p[back.ravel()]
    return out


# ---------------------------------------------------------------- the analysis


def ora(
    lists,
    gene_sets: GeneSetsInput,
    *,
    universe: Iterable[str] | None = None,
    min_size: int = 15,
    max_size: int = 500,
) -> pd.DataFrame:
    """Over-representation of gene lists in gene sets (one-sided Fisher test).

    Parameters
    ----------
    lists : sequence of str or mapping of str to sequence of str
        One gene list, or several named lists (e.g. ``{"up": [...],
        "down": [...]}``) analysed separately against one universe. Repeated
        genes count once; genes outside the universe are dropped and counted.
    gene_sets : mapping or sequence
        ``{name: (description, genes)}`` or ``[(name, description, genes)]``;
        description may be None.
    universe : iterable of str, optional
        Every gene that could have been in a list (for a differential
        expression table: every gene it tested). Default: the union of the
        gene sets' genes, with a `DefaultUniverseWarning`, since genes that
        no set contains then cannot be counted against any set.
    min_size, max_size : int
        The tested sets are those with ``min_size`` <= size <= ``max_size``
        genes in the universe.

    Returns
    -------
    pandas.DataFrame
        One row per list and tested set (overlap 0 included), columns
        `COLUMNS` (preceded by ``list`` when `lists` is a mapping), the
        lists in their given order, each sorted by p-value (then by the
        sets' order). See the module's docstring for every column's
        definition. ``attrs["universe_size"]`` is N and ``attrs["lists"]``
        maps each list to ``{"given", "in_universe", "outside_universe"}``
        gene counts. A list with no gene in the universe warns and has no rows.
    """
    if min_size < 1 or max_size < min_size:
        raise ValueError(f"need 1 <= min_size <= max_size, got min_size={min_size}, max_size={max_size}")
    list_names, list_genes = _lists(lists)
    set_names, descriptions, flat, counts = _gene_sets(gene_sets)
    if universe is None:
        genes = list(dict.fromkeys(flat))
        warnings.warn(
            f"no universe given: using the {len(genes)} genes of the gene sets; genes of the lists "
            "outside every set are dropped, and the p-values assume any of these genes could have "
            "been listed. Give the genes that were measured (universe=) when you know them.",
            DefaultUniverseWarning,
            stacklevel=2,
        )
    else:
        if isinstance(universe, str):
            raise TypeError("universe must be a collection of gene names, not one string")
        genes = list(dict.fromkeys(map(str, universe)))
    N = len(genes)
    if N == 0:
        raise ValueError("the universe is empty")
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
        if summary[key]["outside_universe"]:
            log.info(
                "list %s: %d of %d genes are outside the universe and were dropped",
                key,
                summary[key]["outside_universe"],
                len(lgenes),
            )
        if not inside:
            warnings.warn(f"list {key!r} has no gene in the universe: no rows for it", UserWarning, stacklevel=2)
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
    result.attrs["lists"] = summary
    return result


def lists_from_table(
    table: pd.DataFrame,
    *,
    score_col: str = "log2FoldChange",
    padj_col: str = "padj",
    padj_cut: float = 0.05,
    min_abs_score: float = 1.0,
    gene_col: str | None = None,
    both: bool = False,
) -> tuple[dict[str, list[str]], list[str]]:
    """The up and down lists and the universe of a differential-expression table.

    Parameters
    ----------
    table : pandas.DataFrame
        One row per gene, e.g. DESeq2's ``results``, limma's ``topTable``.
    score_col : str
        The effect's column (``log2FoldChange``, ``logFC``, ...): its sign
        says up or down.
    padj_col : str
        The adjusted p-value's column (``padj``, ``adj.P.Val``, ``FDR``, ...).
    padj_cut : float
        A gene is listed when its adjusted p-value is below this.
    min_abs_score : float
        ... and its score is at least this far from 0.
    gene_col : str, optional
        The genes' column; by default the table's index.
    both : bool
        Also return ``"both"``, the up and the down genes together.

    Returns
    -------
    lists : dict of str to list of str
        ``"up"``: padj < `padj_cut` and score >= `min_abs_score`;
        ``"down"``: padj < `padj_cut` and score <= -`min_abs_score`;
        (``"both"``: their union), each in the table's row order.
    universe : list of str
        Every gene the table tested: those with a non-missing adjusted
        p-value, in the table's order.
    """
    for col in (score_col, padj_col) + ((gene_col,) if gene_col is not None else ()):
        if col not in table.columns:
            raise ValueError(f"the table has no column {col!r}; its columns: {', '.join(map(str, table.columns))}")
    names = table[gene_col] if gene_col is not None else table.index.to_series()
    if names.isna().any():
        raise ValueError(f"the table has {int(names.isna().sum())} rows without a gene name")
    names = names.astype(str).to_numpy()
    dup = pd.Series(names).duplicated(keep=False)
    if dup.any():
        shown = ", ".join(list(dict.fromkeys(names[dup.to_numpy()]))[:3])
        raise ValueError(f"gene names repeat in the table ({int(dup.sum())} rows, e.g. {shown}); collapse them first")
    padj = pd.to_numeric(table[padj_col], errors="raise").to_numpy(dtype=float)
    score = pd.to_numeric(table[score_col], errors="raise").to_numpy(dtype=float)
    tested = ~np.isnan(padj)
    significant = tested & (padj < padj_cut)
    with np.errstate(invalid="ignore"):
        up = significant & (score >= min_abs_score)
        down = significant & (score <= -min_abs_score)
    lists = {"up": names[up].tolist(), "down": names[down].tolist()}
    if both:
        lists["both"] = names[up | down].tolist()
    return lists, names[tested].tolist()
