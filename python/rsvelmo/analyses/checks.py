"""Checks of a ranking before and after an analysis: what cannot give a
meaningful answer is refused, what is suspect is warned about."""

from __future__ import annotations

import re
import statistics
from collections import Counter
from typing import Any, Mapping

from .._errors import Advice, RankingError, warn
from .._options import DEFAULT
from ..readers.gene_sets import GeneSets
from ..readers.identifiers import mappable, style_name

__all__ = ["check_ranking", "check_overlap", "check_tied_sets", "excel_dates"]

TIE_SHARE = 0.01
MONTHS = ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec")
# What Excel turned into these months: the symbols of the SEPT, MARCH and DEC families and a few others.
MONTH_SYMBOLS = {"sep": "SEPT", "mar": "MARCH", "dec": "DEC", "oct": "OCT", "nov": "NOV", "apr": "APR"}
_MONTH = "(" + "|".join(MONTHS) + r")[a-z]*"
_DAY_MONTH = re.compile(rf"^(\d{{1,2}})-{_MONTH}(?:-\d{{2,4}})?$", re.IGNORECASE)  # 2-Sep, 1-Mar-2020
_MONTH_DAY = re.compile(rf"^{_MONTH}-(\d{{1,2}})$", re.IGNORECASE)  # Sep-02
_NUMERIC_DATE = re.compile(r"^(\d{4}-\d{2}-\d{2}|\d{1,2}/\d{1,2}/\d{2,4})$")  # 2006-09-02, 02/09/2006


def excel_dates(genes) -> list[tuple[str, str | None]]:
    """The gene names that are dates a spreadsheet made of symbols, each with
    the symbol it probably was (None when it cannot be told)."""
    found = []
    for gene in genes:
        match = _DAY_MONTH.match(gene)
        if match:
            day, month = match.group(1), match.group(2).lower()
        else:
            match = _MONTH_DAY.match(gene)
            if match:
                month, day = match.group(1).lower(), match.group(2)
            elif _NUMERIC_DATE.match(gene):
                found.append((gene, None))
                continue
            else:
                continue
        found.append((gene, f"{MONTH_SYMBOLS.get(month, month.upper())}{int(day)}"))
    return found


def check_ranking(ranks: Mapping[str, float], score_type: str = "std", source: str = "ranking", stacklevel: int = 2):
    """Refuse a ranking that cannot order genes and warn about a suspect one.

    A ranking whose scores are all equal is refused. A block of tied scores
    holding more than 1% of the genes is warned about: the engine orders tied
    genes by their input order, so that order, not the data, decides where
    they fall. An all-positive ranking analysed two-sided is warned about,
    and so are gene names that a spreadsheet turned into dates.
    """
    scores = list(ranks.values())
    if not scores:
        raise RankingError(f"{source}: the ranking holds no genes")
    counts = Counter(scores)
    if len(counts) == 1:
        raise RankingError(
            f"{source}: all {len(scores)} scores are equal ({scores[0]!r}); a ranking needs "
            "scores that differ between genes"
        )
    value, size = counts.most_common(1)[0]
    if size > TIE_SHARE * len(scores) and size > 1:
        warn(
            f"{source}: {size} genes ({size * 100.0 / len(scores):.1f}%) share the score {value!r}; "
            "tied genes are ordered by their input order, which then decides their place in every "
            "running sum. Rank by a statistic with fewer ties (e.g. DESeq2's 'stat' rather than "
            "rounded fold changes) or drop the tied genes",
            stacklevel=stacklevel + 1,
        )
    if score_type.lower() == "std" and all(s > 0.0 for s in scores):
        warn(
            f"{source}: all ranking scores are positive while ",
            Advice("score_type", "std"),
            "; for one-tailed enrichment, consider ",
            Advice("score_type", "pos"),
            stacklevel=stacklevel + 1,
        )
    dates = excel_dates(ranks)
    if dates:
        shown = ", ".join(f"{d!r} (was {s})" if s else repr(d) for d, s in dates[:4])
        warn(
            f"{source}: {len(dates)} gene name(s) are dates, as a spreadsheet makes of symbols such as SEPT2 or "
            f"MARCH1: {shown}{', ...' if len(dates) > 4 else ''}; they match no gene set. Fix them in the file "
            "the ranking came from (import the column as text, not as dates)",
            stacklevel=stacklevel + 1,
        )


def _example(names) -> str:
    return next(iter(names), "")


def check_overlap(
    ranks: Mapping[str, float],
    gene_sets: GeneSets,
    min_size: int,
    max_size: int,
    source: str = "ranking",
    stacklevel: int = 2,
) -> None:
    """Refuse a ranking whose genes no gene set can be tested with; warn when
    the identifiers of the two sides seem not to match, and when the ranking
    seems to be a filtered list rather than every measured gene."""
    universe: dict[str, None] = {}  # ordered, so that the example shown is the first gene
    testable = 0
    for genes in gene_sets.sets.values():
        universe.update(dict.fromkeys(genes))
        if min_size <= sum(1 for g in set(genes) if g in ranks) <= max_size:
            testable += 1
    matched = sum(1 for g in ranks if g in universe)
    figures = (
        f"{matched:,} of {len(ranks):,} ranking genes occur in the gene sets of {gene_sets.source}; "
        f"ranking IDs look like {_example(ranks)!r}, gene-set IDs like {_example(universe)!r}"
    )
    case_hint: tuple = ()
    upper = {g.upper() for g in universe}
    if sum(1 for g in ranks if g.upper() in upper) > 2 * max(matched, 1):
        case_hint = ("; the names differ in case: try ", Advice("ignore_case", True))
    if testable == 0:
        raise RankingError(
            f"{source}: no gene set has between {min_size} and {max_size} genes in the ranking. {figures}",
            *(case_hint or _mapping_hint(ranks)),
        )
    # A small collection (Hallmark against a whole transcriptome) covers few
    # ranking genes by design, and a filtered ranking few gene-set genes; a
    # mismatch of identifiers shows as names that match in another case, or
    # as gene-set genes that are almost all missing from the ranking.
    in_ranking = sum(1 for g in universe if g in ranks)
    if matched < len(ranks) / 2 and (case_hint or in_ranking < len(universe) / 10):
        warn(
            f"{source}: {figures}; check that both use the same kind of gene identifier",
            *case_hint,
            stacklevel=stacklevel + 1,
        )
    _check_whole_ranking(ranks, in_ranking, len(universe), source, stacklevel + 1)


def _mapping_hint(ranks: Mapping[str, float]) -> tuple:
    """Advice to map the identifiers, with what the mapping would give, when it would help."""
    style, found, total = mappable(ranks)
    if found * 10 < total:
        return ()
    what = style_name(style) if style != "symbol" else "gene names (previous symbols or aliases)"
    return (f"; {found:,} of {total:,} {what} map to current symbols: try ", Advice("map_ids", "auto"))


def _check_whole_ranking(ranks: Mapping[str, float], in_ranking: int, universe: int, source: str, stacklevel: int):
    """A marker list or a table filtered by p-value or fold change ranks only
    the genes far from zero: the running sums then miss the middle of the
    ranking and the NES is inflated."""
    magnitudes = [abs(s) for s in ranks.values()]
    if in_ranking >= universe / 2 or min(magnitudes) <= 0.05 * statistics.median(magnitudes):
        return
    low, high = min(ranks.values()), max(ranks.values())
    warn(
        f"{source}: the ranking holds {len(ranks):,} genes ({in_ranking:,} of the {universe:,} genes of the gene "
        f"sets), scores from {low:.4g} to {high:.4g} and none near zero: it looks filtered (a marker list, a table "
        "cut by p-value or fold change). GSEA needs every measured gene, ranked; give the unfiltered table "
        "(e.g. Seurat's FindMarkers with logfc.threshold = 0, min.pct = 0)",
        stacklevel=stacklevel + 1,
    )


def check_tied_sets(
    records: list[dict[str, Any]],
    ranks: Mapping[str, float],
    source: str = "ranking",
    padj_cut: float = DEFAULT.padj,
    stacklevel: int = 2,
) -> None:
    """Warn about significant gene sets whose leading edge lies mostly in one
    block of tied scores: the order of tied genes is their input order, so
    such a result may say more about the file's order than about biology."""
    counts = Counter(ranks.values())
    suspect = []
    for r in records:
        padj = r.get("padj")
        if padj is None or padj != padj or padj >= padj_cut or not r["leading_edge"]:
            continue
        scores = [ranks[g] for g in r["leading_edge"] if g in ranks]
        tied = max((scores.count(s) for s in set(scores) if counts.get(s, 0) > 1), default=0)
        if tied * 2 > len(r["leading_edge"]):
            suspect.append(r["pathway"])
    if suspect:
        shown = ", ".join(repr(p) for p in suspect[:5]) + (", ..." if len(suspect) > 5 else "")
        warn(
            f"{source}: {len(suspect)} significant gene set(s) ({shown}) have most of their leading edge in one "
            "block of tied scores; the order of tied genes is their input order, which then decides these "
            "results. Rank by a statistic without ties, or check these sets by hand",
            stacklevel=stacklevel + 1,
        )
