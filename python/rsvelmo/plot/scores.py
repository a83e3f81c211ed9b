"""Figures of per-sample gene-set scores: the clustered heatmap of a scores
table (gene sets x samples) and the sets that differ most between two groups."""

from __future__ import annotations

from typing import Any, Mapping, Sequence

import numpy as np

from .._options import DEFAULT
from ._base import DOUBLE_COLUMN, DOWN, UP, finish, p_text, pyplot

__all__ = ["scores_heatmap", "differential_plot", "cluster_order"]

# Categorical colours for sample groups, told apart by colour-blind readers (Okabe-Ito).
GROUP_COLOURS = ("#E69F00", "#56B4E9", "#009E73", "#F0E442", "#0072B2", "#D55E00", "#CC79A7", "#000000")


def cluster_order(values: np.ndarray) -> list[int]:
    """The leaf order of an average-linkage hierarchical clustering of the
    rows (Euclidean distance), or the rows' own order without SciPy or with
    fewer than three rows."""
    if values.shape[0] < 3:
        return list(range(values.shape[0]))
    try:
        from scipy.cluster import hierarchy
    except ImportError:
        return list(range(values.shape[0]))
    linkage = hierarchy.linkage(values, method="average", metric="euclidean")
    return [int(i) for i in hierarchy.leaves_list(hierarchy.optimal_leaf_ordering(linkage, values))]


def scores_heatmap(
    scores,
    groups: Sequence[str] | None = None,
    top: int | None = 40,
    cluster: bool = True,
    title: str | None = None,
    labels: Mapping[str, str] | None = None,
    path=None,
):
    """Heatmap of gene-set scores, gene sets and samples in the order of a
    hierarchical clustering.

    Parameters
    ----------
    scores : DataFrame
        Gene sets x samples, as ``rsvelmo.score_samples`` returns them (or
        as ``scores.tsv`` of ``rsvelmo score`` reads back with
        ``pandas.read_csv(path, sep='\\t', index_col=0)``).
    groups : sequence of str, optional
        Each sample's group, in the columns' order: a coloured bar above the
        samples, with a legend.
    top : int or None
        Show the `top` sets whose scores vary most across samples (None: all).
    cluster : bool
        Order sets and samples by average-linkage clustering (with SciPy;
        else, and with False, the table's order).
    title : str, optional
    labels : mapping, optional
        The text shown for a gene set (default: its name).
    path : str or os.PathLike, optional
        Also save the figure there.

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    table = scores.dropna(how="all")
    shown_note = ""
    if top is not None and len(table) > top:
        spread = table.var(axis=1, ddof=1).to_numpy()
        keep = np.sort(np.argsort(-spread, kind="stable")[:top])
        shown_note = f" (the {top} of {len(table):,} sets that vary most)"
        table = table.iloc[keep]
    values = table.to_numpy(dtype=float)
    rows, columns = list(range(values.shape[0])), list(range(values.shape[1]))
    if cluster and values.size:
        rows = cluster_order(np.nan_to_num(values))
        columns = cluster_order(np.nan_to_num(values.T))
    values = values[np.ix_(rows, columns)] if values.size else values
    names = [str((labels or {}).get(table.index[i], table.index[i])) for i in rows]
    samples = [str(table.columns[j]) for j in columns]
    limit = float(np.nanmax(np.abs(values))) if values.size else 1.0
    height = min(11.0, 1.6 + 0.16 * len(names) + (0.3 if groups is not None else 0.0))
    width = min(DOUBLE_COLUMN + 2.5, max(DOUBLE_COLUMN, 4.5 + 0.22 * len(samples)))
    if groups is None:
        fig, ax = plt.subplots(figsize=(width, height), layout="constrained")
    else:
        fig, (strip, ax) = plt.subplots(
            2, 1, figsize=(width, height), layout="constrained", sharex=True,
            gridspec_kw={"height_ratios": [0.22, max(0.5, 0.16 * len(names))]},
        )  # fmt: skip
    image = ax.imshow(values, aspect="auto", cmap="RdBu_r", vmin=-limit, vmax=limit, interpolation="nearest")
    ax.set_yticks(range(len(names)), [_short(n) for n in names], fontsize=6)
    ax.set_xticks(range(len(samples)), samples, rotation=90, fontsize=6)
    ax.tick_params(length=0)
    bar = fig.colorbar(image, ax=ax, fraction=0.05, shrink=min(1.0, 12 / max(1, len(names))), aspect=12)
    bar.set_label("score", fontsize=7)
    bar.ax.tick_params(labelsize=6)
    if groups is not None:
        ordered = [str(groups[j]) for j in columns]
        levels = list(dict.fromkeys(str(g) for g in groups))
        colour = {g: GROUP_COLOURS[i % len(GROUP_COLOURS)] for i, g in enumerate(levels)}
        strip.imshow([[_rgb(colour[g]) for g in ordered]], aspect="auto", interpolation="nearest")
        strip.set_yticks([0], ["group"], fontsize=6)
        strip.tick_params(length=0, labelbottom=False)
        from matplotlib.patches import Patch

        strip.legend(handles=[Patch(color=colour[g], label=g) for g in levels], loc="lower left", fontsize=6,
                     frameon=False, ncols=min(4, len(levels)), bbox_to_anchor=(0, 1.02), borderaxespad=0)  # fmt: skip
    fig.suptitle((title or "Gene-set scores") + shown_note, fontsize=8)
    return finish(fig, path)


def _short(text: str, width: int = 70) -> str:
    """One line per set, so that rows stay apart."""
    return text if len(text) <= width else text[: width - 1] + "\u2026"


def _rgb(colour: str) -> tuple[float, float, float]:
    from matplotlib.colors import to_rgb

    return to_rgb(colour)


def differential_plot(
    table, top: int = DEFAULT.top, title: str | None = None, labels: Mapping[str, str] | None = None, path=None
):
    """The gene sets whose scores differ most between two groups: the
    difference of the groups' mean scores of the `top` sets of each direction
    with the smallest p-values, each labelled with its BH-adjusted p-value.

    Parameters
    ----------
    table : DataFrame
        The two-group comparison of ``rsvelmo.compare_score_groups`` (or
        ``differential.tsv`` read back): columns ``gene_set``,
        ``difference``, ``pval``, ``padj``, and ``mean_<group>`` for each group.
    top : int
    title : str, optional
    labels : mapping, optional
        The text shown for a gene set (default: its name).
    path : str or os.PathLike, optional

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = pyplot()
    rows: list[dict[str, Any]] = table.to_dict("records")
    rows = [r for r in rows if r["pval"] == r["pval"]]
    rows.sort(key=lambda r: (r["pval"], -abs(r["difference"])))
    up = [r for r in rows if r["difference"] > 0][:top]
    down = [r for r in rows if r["difference"] < 0][:top]
    chosen = sorted(up + down, key=lambda r: r["difference"])
    fig, ax = plt.subplots(figsize=(DOUBLE_COLUMN, 1.2 + 0.24 * max(1, len(chosen))))
    positions = range(len(chosen))
    ax.barh(list(positions), [r["difference"] for r in chosen],
            color=[UP if r["difference"] > 0 else DOWN for r in chosen], height=0.7)  # fmt: skip
    ax.set_yticks(
        list(positions),
        [_short(str((labels or {}).get(r["gene_set"], r["gene_set"]))) for r in chosen],
        fontsize=6,
    )
    for y, r in zip(positions, chosen):
        ax.annotate(f"padj {p_text(r['padj'])}", (r["difference"], y), xytext=(3 if r["difference"] > 0 else -3, 0),
                    textcoords="offset points", ha="left" if r["difference"] > 0 else "right", va="center",
                    fontsize=5.5)  # fmt: skip
    ax.axvline(0, color="black", linewidth=0.6)
    means = [c[len("mean_") :] for c in table.columns if c.startswith("mean_")]
    a, b = (means + ["A", "B"])[:2]
    ax.set_xlabel(f"mean score of {a} minus mean score of {b}", fontsize=7)
    ax.tick_params(axis="x", labelsize=6)
    ax.margins(x=0.25)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    hits = sum(1 for r in rows if r["padj"] < 0.05)
    note = f"{hits} with padj < 0.05" if hits else "none with padj < 0.05: the smallest p-values are shown"
    ax.set_title(title or f"Gene sets that differ most: {a} v {b}\n(Welch's t-test on the scores, BH; {note})",
                 fontsize=8)  # fmt: skip
    fig.tight_layout()
    return finish(fig, path)
