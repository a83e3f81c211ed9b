"""The engine, the compiled module ``rsvelmopy``: the one place the package imports it.

Every other module takes the engine's functions and its warning from here, so
that what the package asks of the engine can be read in one file.
"""

from rsvelmopy import RankingWarning, read_gmt, run_gsea, run_gsea_py

__all__ = ["RankingWarning", "read_gmt", "run_gsea", "run_gsea_py"]
