"""The statistics of over-representation analysis, on plain integer arrays.

For one list and one gene set in a universe of N genes, K of them in the set
and n in the list, the overlap X is hypergeometric (N, K, n):

- :func:`hypergeometric_upper_tail` gives P(X >= k), the one-sided Fisher
  exact test (R's ``phyper(k - 1, K, N - K, n, lower.tail = FALSE)``);
- :func:`conditional_mle_odds_ratio` the conditional maximum-likelihood
  odds ratio, the quantity R's ``fisher.test`` estimates, to double precision;
- :func:`bh_adjust` the Benjamini-Hochberg adjustment, R's ``p.adjust``.

Each distinct (K, n, k) is evaluated once: the tails by SciPy's
hypergeometric distribution (Boost.Math's, whose loops release the
interpreter lock) in a few threads, the odds ratios by the engine on its
worker pool. Every value depends on its table alone, whatever the threads.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from .._engine import ora_odds_ratios

__all__ = ["bh_adjust", "conditional_mle_odds_ratio", "hypergeometric_upper_tail"]


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
        the estimate R's ``fisher.test`` reports, solved to double
        precision by the engine (Newton's method on log(psi) over a window
        of the support holding all but e^-45 of the weight, a bisection
        bracket as safeguard). 0 at the support's minimum, infinity at its
        maximum (0 when the support is one point, as R).
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
        (uK, un, uk), back = _distinct(K[inner], n[inner], k[inner])
        out[inner] = np.frombuffer(ora_odds_ratios(int(N), uK, un, uk), dtype=np.float64)[back]
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
        (K, n, k), in parts on as many threads as there are cores; exactly 1
        where k <= 0.
    """
    k, K, n = np.broadcast_arrays(*(np.asarray(a, dtype=np.int64) for a in (k, K, n)))
    k, K, n = k.ravel(), K.ravel(), n.ravel()
    out = np.ones(k.shape)
    need = np.flatnonzero(k > 0)
    if need.size:
        (uK, un, uk), back = _distinct(K[need], n[need], k[need])
        out[need] = _sf(uk - 1, N, uK, un)[back]
    return out


# Tails per thread at the least: below this a thread costs more than it saves
# (a tail costs about 50 microseconds for a universe of 18,000 genes).
_PART = 2048


def _sf(x: np.ndarray, N: int, K: np.ndarray, n: np.ndarray) -> np.ndarray:
    from scipy import stats  # imported on first use: it takes a good part of a second

    parts = max(1, min(os.cpu_count() or 1, x.size // _PART))
    if parts == 1:
        return stats.hypergeom.sf(x, N, K, n)
    bounds = np.linspace(0, x.size, parts + 1).astype(int)
    with ThreadPoolExecutor(parts) as pool:
        done = pool.map(lambda a, b: stats.hypergeom.sf(x[a:b], N, K[a:b], n[a:b]), bounds[:-1], bounds[1:])
        return np.concatenate(list(done))


def _distinct(*columns: np.ndarray) -> tuple[list[np.ndarray], np.ndarray]:
    """The distinct rows of non-negative integer columns (sorted) and, per
    row, the index of its distinct row: one key per row, so one 1-D sort."""
    key = np.zeros(columns[0].size, dtype=np.int64)
    for c in columns:
        key = key * (int(c.max()) + 1) + c  # below 2^63: counts of genes, three deep
    unique, first, back = np.unique(key, return_index=True, return_inverse=True)
    return [c[first] for c in columns], back.ravel()
