"""The expression of the top gene sets' leading-edge genes across the
samples, grouped by class: what drives an enrichment, sample by sample."""

from __future__ import annotations

from typing import Mapping, Sequence

from ._base import DOWN, SINGLE_COLUMN, UP, finish, label_of, pyplot, records_of, show_nothing, top_sets, wrap

__all__ = ["expression_heatmap"]

Z_LIMIT = 2.5  # |z| at the ends of the colour scale; larger ones take its end colours


def _classes_of(results, labels) -> dict[str, str]:
    if labels is None:
        run = getattr(results, "attrs", {}).get("run", {})
        if "labels" not in run:
            raise ValueError("labels: give the class of each sample (the table's attrs do not hold them)")
        return dict(run["labels"])
    if isinstance(labels, Mapping):
        return {str(k): str(v) for k, v in labels.items()}
    if hasattr(labels, "index") and hasattr(labels, "tolist"):  # a Series by sample
        return {str(k): str(v) for k, v in zip(labels.index, labels.tolist())}
    raise TypeError("labels must be a mapping (or Series) sample -> class")


def _genes(chosen, ranking: Mapping[str, float] | None, genes_present: set[str], max_genes: int) -> list[str]:
    """Each set's strongest leading-edge genes (an equal share of `max_genes`),
    ordered by the metric when it is known (highest first)."""
    own = max(3, max_genes // max(len(chosen), 1))
    picked: dict[str, None] = {}
    for r in chosen:
        edge = [g for g in r["leading_edge"] if g in genes_present]
        if ranking is not None:
            edge.sort(key=lambda g: -abs(ranking.get(g, 0.0)))
        elif r["nes"] < 0:  # a negative set's leading edge runs to the bottom of the ranking
            edge.reverse()
        picked.update(dict.fromkeys(edge[:own]))
    genes = list(picked)[: max(max_genes, len(chosen) * 3)]
    if ranking is not None:
        genes.sort(key=lambda g: -ranking.get(g, 0.0))
    return genes


def _zscores(values):
    import numpy as np

    mean = values.mean(axis=1, keepdims=True)
    sd = values.std(axis=1, ddof=1, keepdims=True) if values.shape[1] > 1 else np.zeros_like(mean)
    return np.divide(values - mean, sd, out=np.zeros_like(values), where=sd > 0)


def expression_heatmap(
    results,
    expression,
    labels: Mapping[str, str] | None = None,
    top: int = 3,
    padj_cut: float = 0.05,
    max_genes: int = 40,
    ranking: Mapping[str, float] | None = None,
    classes: Sequence[str] | None = None,
    path=None,
):
    """Heatmap of the leading-edge genes' expression across the samples.

    Rows are the strongest leading-edge genes of the top gene sets of each
    direction (ordered by the metric, highest first), columns the samples
    grouped by class (class A first); cells are z-scores of each gene's
    expression across the samples shown. A panel on the right marks which
    of the sets each gene leads.

    Parameters
    ----------
    results : pandas.DataFrame or list of dict
        A table of :func:`rsvelmo.gsea_phenotype` (or records with pathway,
        nes, padj and leading_edge).
    expression : pandas.DataFrame
        Genes x samples, the values the analysis compared (an
        :class:`~rsvelmo.readers.expression.Expression` serves as well).
    labels : mapping sample -> class, optional
        Default: the table's ``attrs['run']['labels']``; samples without a
        class are not shown.
    top : int
        Gene sets per direction.
    padj_cut : float
        The significant sets are shown, else the best by p-value.
    max_genes : int
        Rows shown (at least 3 per set).
    ranking : mapping gene -> metric, optional
        Default: the table's ``attrs['ranking']``.
    classes : sequence of str, optional
        The classes in the order shown (class A first). Default: the
        table's ``attrs['run']['classes']``, else their order in `labels`.
    path : str or os.PathLike, optional
        Also save the figure there.

    Returns
    -------
    matplotlib.figure.Figure
    """
    import numpy as np

    plt = pyplot()
    frame = expression.frame() if hasattr(expression, "dense") else expression
    by_sample = _classes_of(results, labels)
    if ranking is None:
        ranking = getattr(results, "attrs", {}).get("ranking")
    first = list(classes or getattr(results, "attrs", {}).get("run", {}).get("classes", []))
    found = list(dict.fromkeys(by_sample.values()))
    order = [c for c in first if c in found] + [c for c in found if c not in first]
    samples = [s for c in order for s in frame.columns if by_sample.get(str(s)) == c]
    chosen, significant = top_sets(records_of(results), top, padj_cut)
    genes = _genes(chosen, ranking, set(frame.index), max_genes)
    width = max(SINGLE_COLUMN, 2.6 + 0.22 * len(samples) + 0.22 * len(chosen))
    fig = plt.figure(figsize=(width, max(3.0, 1.9 + 0.11 * len(genes))))
    if not genes or not samples:
        ax = fig.add_subplot()
        show_nothing(ax, "no leading-edge gene to show")
        return finish(fig, path)
    z = np.clip(_zscores(frame.loc[genes, samples].to_numpy(dtype=np.float64)), -Z_LIMIT, Z_LIMIT)
    grid = fig.add_gridspec(
        2, 3, height_ratios=[0.16, len(genes) * 0.11], width_ratios=[len(samples), max(len(chosen), 1) * 0.9, 0.3],
        hspace=0.04, wspace=0.08,
    )  # fmt: skip
    bar, heat, member = fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[1, 0]), fig.add_subplot(grid[1, 1])
    palette = [UP, DOWN, "#4d9221", "#c51b7d", "#8c510a"]
    codes = [order.index(by_sample[str(s)]) for s in samples]
    bar.imshow([codes], aspect="auto", cmap=plt.matplotlib.colors.ListedColormap(palette[: len(order)]),
               vmin=-0.5, vmax=len(order) - 0.5, interpolation="nearest")  # fmt: skip
    bar.set_xticks([])
    bar.set_yticks([])
    for c, name in enumerate(order):
        where = [i for i, code in enumerate(codes) if code == c]
        bar.text(float(np.mean(where)), 0, f"{name} ({len(where)})", ha="center", va="center", fontsize=7,
                 color="white", fontweight="bold")  # fmt: skip
    image = heat.imshow(z, aspect="auto", cmap="RdBu_r", vmin=-Z_LIMIT, vmax=Z_LIMIT, interpolation="nearest")
    heat.set_yticks(range(len(genes)), genes, fontsize=6)
    heat.set_xticks(range(len(samples)), [str(s) for s in samples], rotation=90, fontsize=6)
    for edge in np.cumsum([codes.count(c) for c in range(len(order))])[:-1]:
        heat.axvline(edge - 0.5, color="white", linewidth=1.5)
    leads = np.array([[g in set(r["leading_edge"]) for r in chosen] for g in genes], dtype=float)
    member.imshow(np.where(leads > 0, 1.0, np.nan), aspect="auto", cmap="Greys", vmin=0, vmax=1.6,
                  interpolation="nearest")  # fmt: skip
    member.set_yticks([])
    member.set_xticks(range(len(chosen)), [wrap(label_of(r), 24) for r in chosen], rotation=90, fontsize=6)
    for tick, r in zip(member.get_xticklabels(), chosen):
        tick.set_color(UP if r["nes"] > 0 else DOWN)
    member.set_facecolor("#f4f4f4")
    colour = fig.colorbar(image, cax=fig.add_subplot(grid[1, 2]))
    colour.set_label("z-score of expression", fontsize=7)
    colour.ax.tick_params(labelsize=6)
    what = "" if significant else f"\n(none with padj < {padj_cut:g}: the best by p-value)"
    bar.set_title(f"Leading-edge genes of the top gene sets, by sample{what}", fontsize=9)
    return finish(fig, path)
