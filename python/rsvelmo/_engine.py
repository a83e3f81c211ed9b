"""The engine, the compiled module ``rsvelmopy``: the one place the package imports it.

Every other module takes the engine's functions and its warning from here, so
that what the package asks of the engine can be read in one file.
"""

from rsvelmopy import (
    PARAMETERS,
    RankingWarning,
    ora_odds_ratios,
    read_gmt,
    run_gsea,
    run_gsea_py,
    run_phenotype,
    score_samples,
)

__all__ = [
    "PARAMETERS",
    "RankingWarning",
    "ora_odds_ratios",
    "read_gmt",
    "run_gsea",
    "run_gsea_py",
    "run_phenotype",
    "score_samples",
    "SETTLED_AT",
]

# Settling the calls ends when a gene set's log2 p-value lies this many standard
# errors (log2err) from the Benjamini-Hochberg cut: the engine's kSettledAt
# (src/multilevel.cpp), quoted by the help texts.
SETTLED_AT = 2.576
