"""Figures of a results table, each returning a matplotlib figure: the
running-sum plot of one or several gene sets, dot plots of the top gene sets
(of one ranking or across rankings), the gene-set table, the leading-edge
heatmap and the enrichment map. Needs matplotlib (pip install
'rsvelmopy[plot]'); the enrichment map also networkx.

One module per kind of figure; every figure takes a results table (see the
package's README for its columns) and never an analysis. Colour scale of the
dot plots: -log10 padj from 0 to 10 (p = 1 to 1e-10; smaller p-values take
the top colour), the same in every figure so that figures can be compared;
the significance cut (padj 0.05 by default) is marked on the colour bar, and
gene sets above it are drawn grey.
"""

from ._base import COLOUR_MAX, LABEL_WIDTH, label_of, save
from ._base import NEUTRAL as NEUTRAL  # the grey of the sets above the cut
from .dot_plots import dot_plot, dot_plot_many, summary_plot
from .enrichment_maps import enrichment_map
from .expression_heatmap import expression_heatmap
from .gene_set_tables import gene_set_table_plot
from .heatmaps import leading_edge_heatmap
from .running_sums import enrichment_plot, enrichment_plots, running_sum, running_sums_plot

__all__ = [
    "running_sum",
    "enrichment_plot",
    "enrichment_plots",
    "running_sums_plot",
    "gene_set_table_plot",
    "dot_plot",
    "dot_plot_many",
    "leading_edge_heatmap",
    "enrichment_map",
    "expression_heatmap",
    "summary_plot",
    "save",
    "label_of",
    "COLOUR_MAX",
    "LABEL_WIDTH",
]
