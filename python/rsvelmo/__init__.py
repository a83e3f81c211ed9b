"""rsvelmo: preranked gene set enrichment analysis on the rsvelmopy engine.

    import rsvelmo
    table = rsvelmo.gsea("ranking.rnk", "pathways.gmt")

``gsea`` answers one ranking, ``gsea_many`` many (in worker processes, from
a mapping, a genes x contrasts table, a long table of groups or a scanpy
AnnData), ``ora`` the over-representation of gene lists (or of a results
table's up and down genes) in an explicit universe, ``score_samples`` scores
gene sets in each sample of an expression matrix (GSVA, ssGSEA, z-score,
PLAGE), ``read_ranks``/``read_rankings``/``read_matrix``/``read_gmt`` read
the usual files, ``gene_sets`` the shipped collections (``collections``
lists them), ``rsvelmo.plot`` draws the figures, ``cluster_gene_sets``
groups redundant gene sets, ``report`` writes a self-contained HTML
report and ``validate`` reruns the evidence that the p-values are right.
``gsea_phenotype`` analyses an expression matrix and the samples' classes
by permuting the labels (GSEA's original method).
The command line is ``rsvelmo run``, ``rsvelmo phenotype``, ``rsvelmo ora`` and
``rsvelmo score`` (and ``rsvelmo validate``).
Suspect input gives a :class:`RankingWarning`; input that cannot be
analysed raises :class:`RankingError` (a ``ValueError``).
"""

from . import plot
from ._clusters import cluster_gene_sets
from ._engine import run_gsea, run_gsea_py
from ._errors import RankingError, RankingWarning
from ._results import read_results
from ._version import __version__
from .analyses.phenotype import gsea_phenotype
from .analyses.preranked import gsea, gsea_many
from .analyses.validation import validate
from .readers.gene_sets import collections, gene_sets, read_gmt, write_gmt
from .readers.rankings import Reading, read_matrix, read_rankings, read_ranks
from .reporting.report import report

__all__ = [
    "gsea",
    "gsea_phenotype",
    "gsea_many",
    "ora",
    "score_samples",
    "compare_score_groups",
    "gene_sets",
    "collections",
    "read_ranks",
    "read_rankings",
    "read_results",
    "read_matrix",
    "read_gmt",
    "write_gmt",
    "Reading",
    "RankingError",
    "RankingWarning",
    "cluster_gene_sets",
    "report",
    "validate",
    "run_gsea",
    "run_gsea_py",
    "plot",
    "__version__",
]


def __getattr__(name: str):
    # The per-sample scores and the over-representation analysis need numpy,
    # which importing rsvelmo does not: they are imported on first use.
    if name in ("score_samples", "compare_score_groups"):
        from .analyses import scores

        return getattr(scores, name)
    if name == "ora":
        from .analyses.ora import ora

        return ora
    raise AttributeError(f"module 'rsvelmo' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
