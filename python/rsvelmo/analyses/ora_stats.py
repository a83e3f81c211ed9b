"""The statistics of over-representation analysis, on plain integer arrays.

For one list and one gene set in a universe of N genes, K of them in the set
and n in the list, the overlap X is hypergeometric (N, K, n):

- :func:`hypergeometric_upper_tail` gives P(X >= k), the one-sided Fisher
  exact test (R's ``phyper(k - 1, K, N - K, n, lower.tail = FALSE)``);
- :func:`conditional_mle_odds_ratio` the conditional maximum-likelihood
  odds ratio, the quantity R's ``fisher.test`` estimates, to double precision;
- :func:`bh_adjust` the Benjamini-Hochberg adjustment, R's ``p.adjust``.

Each distinct (K, n, k) is evaluated once.
"""

from __future__ import annotations

import numpy as np

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
    from scipy import stats  # imported on first use: it takes a good part of a second

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
