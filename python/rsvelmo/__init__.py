"""rsvelmo: preranked gene set enrichment analysis on the rsvelmopy engine.

    import rsvelmo
    table = rsvelmo.gsea("ranking.rnk", "pathways.gmt", minSize=15, maxSize=500)

``gsea`` answers one ranking, ``gsea_many`` many (in worker processes),
``read_ranks``/``read_matrix``/``read_gmt`` read the usual files and
``rsvelmo.plot`` draws the figures. The command line is ``rsvelmo run``.
"""

from rsvelmopy import run_gsea_py

from . import plot
from .api import gsea, gsea_many
from .io import RankingError, read_gmt, read_matrix, read_ranks, write_gmt

__all__ = ["gsea", "gsea_many", "read_ranks", "read_matrix", "read_gmt", "write_gmt", "RankingError",
           "run_gsea_py", "plot"]
__version__ = "0.1.0"
