"""Every option of the analysis, the readers and the command line, declared once.

An :class:`Option` holds what is known of one option: its Python name, its
default, how a value is checked, its help text and how the command line
spells it. ``gsea``, ``gsea_many``, the command-line parser, the validation
and the README's option list are built from (or tested against) these
declarations, so that the Python API and the shell cannot drift apart.
Errors name the option they are about; each front end spells it its own way.
"""

from __future__ import annotations

import argparse
import math
import os
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, Callable, Iterable, Mapping

from ._engine import PARAMETERS, SETTLED_AT

__all__ = [
    "Option",
    "OptionError",
    "Named",
    "OPTIONS",
    "DEFAULT",
    "ANALYSIS",
    "READING",
    "OUTPUT",
    "EXPRESSION",
    "PHENOTYPE",
    "ORA",
    "spell",
    "validate",
    "engine_options",
    "settle_cut",
    "flip_risk_cut",
    "add_arguments",
    "from_arguments",
]

UNSET = object()


class Named(str):
    """Another option inside an :class:`OptionError`'s problem, by name or
    (with a value) as it is set: ``Named("refine", False)``."""

    def __new__(cls, option: str, *value: Any):
        named = super().__new__(cls, option)
        named.value = value
        return named


class OptionError(ValueError):
    """An impossible option value; ``option`` names the option, so that each
    front end can name it (and the :class:`Named` options of the problem)
    in its own spelling."""

    def __init__(self, option: str, *problem: str):
        self.option, self.problem = option, problem
        super().__init__(self.render())

    def render(self, style: str = "python") -> str:
        def name(option: str, *value: Any) -> str:
            return spell(option, *value, style=style).rstrip("=")

        return f"{name(self.option)} " + "".join(name(p, *p.value) if isinstance(p, Named) else p for p in self.problem)


def _integer(low: int, high: int | None = None) -> Callable[[str, Any], int]:
    def check(name: str, value: Any) -> int:
        if isinstance(value, bool) or not hasattr(value, "__index__"):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
        value = value.__index__()
        if value < low:
            raise OptionError(name, f"must be at least {low}, not {value}")
        if high is not None and value > high:
            raise OptionError(name, f"must be at most {high}, not {value}")
        return value

    return check


def _optional_integer(low: int) -> Callable[[str, Any], int | None]:
    strict = _integer(low)
    return lambda name, value: None if value is None else strict(name, value)


def _number(low: float, high: float = math.inf, open_low: bool = False) -> Callable[[str, Any], float]:
    def check(name: str, value: Any) -> float:
        if isinstance(value, bool):
            raise TypeError(f"{name} must be a number, not bool")
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
        below = value <= low if open_low else value < low
        if not math.isfinite(value) or below or value > high:
            if math.isfinite(high):
                raise OptionError(name, f"must lie in {'(' if open_low else '['}{low:g}, {high:g}], not {value!r}")
            raise OptionError(name, f"must be a finite number >= {low:g}, not {value!r}")
        return value

    return check


def _optional_number(low: float, high: float, open_low: bool = False) -> Callable[[str, Any], float | None]:
    strict = _number(low, high, open_low)
    return lambda name, value: None if value is None else strict(name, value)


def _calls_cut(name: str, value: Any) -> float | str | None:
    if value is None or value == "auto":
        return value
    if isinstance(value, str):
        raise OptionError(name, f"must be a padj cut in (0, 1], 'auto' or None, not {value!r}")
    return _number(0.0, 1.0, open_low=True)(name, value)


def _parse_calls_cut(text: str) -> float | str | None:
    if text == "none":
        return None
    return "auto" if text == "auto" else float(text)


def _choice(*allowed: Any, fold_case: bool = False) -> Callable[[str, Any], Any]:
    def check(name: str, value: Any) -> Any:
        key = value.lower() if fold_case and isinstance(value, str) else value
        # `True in (1,)` holds in Python; a choice among True/False/'all' must not take 1 for True.
        if not any(key == a and type(key) is type(a) for a in allowed):
            raise OptionError(name, f"must be one of {', '.join(repr(a) for a in allowed)}, not {value!r}")
        return key

    return check


def _optional_text(name: str, value: Any) -> str | None:
    if value is None or isinstance(value, str):
        return value
    raise TypeError(f"{name} must be a name, not {type(value).__name__}")


def _flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def _column(name: str, value: Any) -> str | int | None:
    if value is None or isinstance(value, str) or (isinstance(value, int) and not isinstance(value, bool)):
        if isinstance(value, int) and value < 0:
            raise OptionError(name, f"must be a column name or a 0-based position, not {value}")
        return value
    raise TypeError(f"{name} must be a column name or a 0-based position, not {type(value).__name__}")


def _classes(name: str, value: Any) -> tuple[str, str] | None:
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 2:
        raise OptionError(name, f"must be two class labels (A, B), not {value!r}")
    a, b = (str(v) for v in value)
    if a == b:
        raise OptionError(name, f"must name two different classes, not {a!r} twice")
    return a, b


def _text(name: str, value: Any) -> str | None:
    if value is None or isinstance(value, str):
        return value
    raise TypeError(f"{name} must be a string, not {type(value).__name__}")


METRICS = ("signal_to_noise", "t_test", "diff_of_classes", "ratio_of_classes", "log2_ratio_of_classes")


@dataclass(frozen=True)
class Option:
    """One option. ``flag`` is its command-line spelling (None: Python only);
    ``switches`` maps values to flags that set them (``--drop-na`` sets
    ``na='drop'``) for options the command line spells as switches.
    ``keyword`` is the Python spelling when two options share one (the
    expression matrix's ``duplicates=`` takes other values than a
    ranking's); ``nargs`` the number of words a command-line value takes."""

    name: str
    default: Any
    check: Callable[[str, Any], Any]
    help: str
    flag: str | None = None
    metavar: str | None = None
    choices: tuple | None = None
    switches: Mapping[Any, str] = field(default_factory=dict)
    parse: Callable[[str], Any] | None = None
    keyword: str | None = None
    nargs: int | None = None
    switch_help: Mapping[Any, str] = field(default_factory=dict)  # a switch's own help text, by value

    def spell(self, value: Any = UNSET, style: str = "python") -> str:
        if style == "python":
            keyword = self.keyword or self.name
            return f"{keyword}=" if value is UNSET else f"{keyword}={value!r}"
        if value is not UNSET and not isinstance(value, tuple) and value in self.switches and type(value) is not int:
            return self.switches[value]
        flag = self.flag or next(iter(self.switches.values()), self.name)
        if value is UNSET:
            return flag
        return f"{flag} {' '.join(map(str, value))}" if isinstance(value, tuple) else f"{flag} {value}"


# The significance cut: the default of --padj, which 'auto' settles the calls at.
PADJ_CUT = 0.05

# What is read and how (the readers, gsea, gsea_many and the command line).
READING = (
    Option("gene_col", None, _column, "column of gene names: a header name or a 0-based position "
           "(default: the row names of an R table, else a column named like 'gene', 'symbol' or 'names', "
           "else the first)", "--gene-col", "COL", parse=str),
    Option("score_col", None, _column, "column of scores: a header name or a 0-based position (needed when "
           "a table has more than one besides the genes, e.g. 'stat' for DESeq2, 't' for limma)",
           "--score-col", "COL", parse=str),
    Option("group_col", None, _column, "column that splits a long table into one ranking per group "
           "(scanpy's rank_genes_groups_df: 'group')", "--group-col", "COL", parse=str),
    Option("duplicates", "error", _choice("error", "first", "max_abs", "mean"),
           "what to do with a gene named twice: refuse, keep the first score, the score of largest "
           "magnitude, or the mean", "--duplicates", choices=("error", "first", "max_abs", "mean")),
    Option("na", "error", _choice("error", "drop"), "genes without a score or without a name (NA, empty): "
           "refuse the ranking, or drop them with a warning that counts them", switches={"drop": "--drop-na"}),
    Option("map_ids", None, _choice(None, "auto", "ensembl", "entrez", "symbol"), "map human gene IDs to "
           "current symbols with the shipped table: Ensembl (with or without version) or Entrez IDs, or "
           "previous symbols and aliases; 'auto' recognises the style (default: no mapping)", "--map-ids",
           choices=("auto", "ensembl", "entrez", "symbol")),
    Option("ignore_case", False, _flag, "match gene names case-insensitively (e.g. mouse 'Foxa2' with 'FOXA2')",
           switches={True: "--ignore-case"}),
)  # fmt: skip


# The engine declares its parameters' defaults and bounds (rsvelmopy.PARAMETERS);
# the options below that reach the engine take theirs from that declaration.
def _engine_default(name: str) -> Any:
    return PARAMETERS[name]["default"]


def _engine_integer(name: str) -> Callable[[str, Any], int]:
    return _integer(PARAMETERS[name]["lower"], PARAMETERS[name].get("upper"))


def _engine_number(name: str) -> Callable[[str, Any], float]:
    upper = PARAMETERS[name].get("upper")
    return _number(PARAMETERS[name]["lower"], math.inf if upper is None else upper)


# How the analysis is run (gsea, gsea_many and the command line).
ANALYSIS = (
    Option("min_size", 15, _integer(1), "smallest gene set tested, in genes present in the ranking",
           "--min-size", "N", parse=int),
    Option("max_size", 500, _integer(1), "largest gene set tested", "--max-size", "N", parse=int),
    Option("nperm", _engine_default("nperm_simple"), _engine_integer("nperm_simple"), "number of permutations",
           "--nperm", "N", parse=int),
    Option("refine", True, _choice(True, False, "all"), "refine by the multilevel method every p-value the "
           "permutations cannot resolve (True), none (False: permutations only) or every one ('all')",
           switches={False: "--no-refine", "all": "--refine-all"},
           switch_help={False: "permutations only: no multilevel refinement, so no p-value below about 1/--nperm",
                        "all": "refine every p-value by the multilevel method, also those the permutations "
                        "resolve (slower)"}),
    Option("stable_calls", "auto", _calls_cut, "settle the calls at this padj cut: gene sets whose p-value "
           f"lies within {SETTLED_AT:g} standard errors of the cut get new multilevel estimates with 4, 16, ... "
           "times the sample size, nearest the cut first, for at most half the refinement's work (about 1.3 times "
           f"the run time); 'auto': at the summary's cut (--padj; {PADJ_CUT:g} in Python) unless refinement is off; "
           "None ('none'): no settling", "--stable-calls", "P", parse=_parse_calls_cut),
    Option("eps", _engine_default("eps"), _engine_number("eps"), "smallest p-value computed; smaller ones are "
           "reported as eps",
           "--eps", "P", parse=float),
    Option("score_type", "std", _choice("std", "pos", "neg", fold_case=True),
           "std: two-sided; pos/neg: one-sided for all-positive/negative rankings", "--score-type",
           choices=("std", "pos", "neg")),
    Option("gsea_param", _engine_default("gsea_param"), _engine_number("gsea_param"), "weight exponent of the "
           "scores", "--gsea-param", "P", parse=float),
    Option("sample_size", _engine_default("sample_size"), _engine_integer("sample_size"), "sample size of the "
           "multilevel method", "--sample-size", "N",
           parse=int),
    Option("seed", _engine_default("seed"), _engine_integer("seed"), "random seed; results are identical for a "
           "seed whatever the threads",
           "--seed", "N", parse=int),
    Option("threads", None, _optional_integer(1), "worker threads (worker processes with several rankings); "
           "the first analysis of a process fixes them (default: all cores)", "--threads", "N", parse=int),
)  # fmt: skip


def _universe(name: str, value: Any) -> Any:
    if value is None or isinstance(value, (str, os.PathLike)):
        return value
    if isinstance(value, bytes) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a file of genes or a collection of gene names, not {type(value).__name__}")
    return value


# Over-representation analysis: the universe and how lists are cut from a results table.
ORA = (
    Option("universe", None, _universe, "every gene that could have been listed (the genes measured): a file, one "
           "gene a line or a table's gene column (default: a results table's tested genes, else the gene sets' "
           "genes, with a warning)", "--universe", "FILE", parse=str),
    Option("padj_col", None, _column, "a results table's adjusted p-value column (default: padj, adj.P.Val, FDR, "
           "p_val_adj or pvals_adj, whichever the table has)", "--padj-col", "COL", parse=str),
    Option("padj_cut", 0.05, _number(0.0, 1.0, open_low=True), "a table's gene is listed when its adjusted p-value "
           "is below this", "--padj-cut", "P", parse=float),
    Option("min_abs_score", 1.0, _number(0.0), "... and its effect (--score-col; default: log2FoldChange, logFC, "
           "avg_log2FC or logfoldchanges) at least this far from 0: up when positive, down when negative",
           "--min-abs-score", "X", parse=float),
    Option("both", False, _flag, "also analyse the up and down genes of a table together, as a third list",
           switches={True: "--both"}),
)  # fmt: skip

# What the command line writes and shows.
OUTPUT = (
    Option("top", 10, _integer(0), "gene sets shown per direction in the summary and the figures", "--top",
           "N", parse=int),
    Option("padj", PADJ_CUT, _number(0.0, 1.0, open_low=True), "significance cut of the summary, the figures, "
           "the clusters and the warnings about tied genes", "--padj", "P", parse=float),
    Option("min_overlap", 0.5, _number(0.0, 1.0, open_low=True), "overlap coefficient of two leading edges "
           "that puts their gene sets in one cluster", "--min-overlap", "F", parse=float),
    Option("plots", False, _flag, "also draw figures: a dot plot, the leading-edge heatmap, the enrichment "
           "map and the running sum of each significant top gene set", switches={True: "--plots"}),
    Option("format", "png", _choice("png", "svg", "pdf"), "file format of the figures (PNG at 300 dpi)",
           "--format", choices=("png", "svg", "pdf")),
    Option("report", False, _flag, "also write report.html: one self-contained page with the table, the "
           "figures and the running sum of any gene set", switches={True: "--report"}),
    Option("collapse", False, _flag, "show one gene set per cluster of overlapping leading edges in the "
           "summaries", switches={True: "--collapse"}),
    Option("quiet", False, _flag, "print nothing but errors", switches={True: "--quiet"}),
)  # fmt: skip

# How an expression matrix and its sample labels are read (the phenotype analysis).
EXPRESSION = (
    Option("layer", None, _text, "the AnnData layer to analyse instead of X (e.g. 'logcounts')", "--layer", "L",
           parse=str),
    Option("label_col", None, _column, "column of a sample sheet holding the classes (the samples' names are "
           "in its first column)", "--label-col", "COL", parse=str),
    Option("expression_duplicates", "error", _choice("error", "mean", "max"), "genes named more than once "
           "(probes of one gene, IDs mapped to one symbol): refuse, or merge their rows sample by sample into "
           "the mean or the maximum (a gene's metric is not known before the classes are compared, so a "
           "ranking's max_abs is not on offer)", "--duplicates", choices=("error", "mean", "max"),
           keyword="duplicates"),
)  # fmt: skip

# How the phenotype-permutation analysis compares the classes (besides ANALYSIS's sizes, nperm, seed, threads).
PHENOTYPE = (
    Option("classes", None, _classes, "the two classes to compare, A then B: positive scores are higher in A "
           "(default: the two labels, A the first class of a CLS file's name line, else of the first sample)",
           "--classes", "A B", nargs=2),
    Option("metric", "signal_to_noise", _choice(*METRICS), "the class-comparison metric genes are ranked by",
           "--metric", choices=METRICS),
    Option("permutations", "auto", _choice("auto", "exact", "random"), "exact: every distinct assignment of "
           "the labels; random: --nperm shuffles; auto: exact when there are at most --nperm of them",
           "--permutations", choices=("auto", "exact", "random")),
    Option("weight", 1.0, _number(0.0), "exponent of |metric| in the running sum's steps", "--weight", "W",
           parse=float),
)  # fmt: skip

OPTIONS: dict[str, Option] = {o.name: o for o in READING + ANALYSIS + OUTPUT + EXPRESSION + PHENOTYPE + ORA}
# Every option's default by name (``DEFAULT.padj``), for the signatures of the
# functions that take one: figures, clustering and the report.
DEFAULT = SimpleNamespace(**{name: o.default for name, o in OPTIONS.items()})


def spell(name: str, value: Any = UNSET, style: str = "python") -> str:
    """How the option `name` (set to `value`, if given) is written in Python
    (``style='python'``: ``duplicates='first'``) or on the command line
    (``style='cli'``: ``--duplicates first``)."""
    return OPTIONS[name].spell(value, style)


def validate(values: Mapping[str, Any], names: Iterable[str] | None = None) -> dict[str, Any]:
    """Check and normalise the options `names` (default: all) of `values`;
    the defaults fill in what is missing and other keys are ignored.

    Raises :class:`OptionError` (a ``ValueError``) or ``TypeError`` naming the option.
    """
    names = list(OPTIONS) if names is None else list(names)
    checked = {n: OPTIONS[n].check(n, values.get(n, OPTIONS[n].default)) for n in names}
    if "min_size" in checked and "max_size" in checked and checked["min_size"] > checked["max_size"]:
        raise OptionError("min_size", f"({checked['min_size']}) must not exceed ", Named("max_size"),
                          f" ({checked['max_size']})")  # fmt: skip
    if checked.get("refine", True) is False and checked.get("stable_calls") not in (None, "auto"):
        raise OptionError("stable_calls", "settles calls with the multilevel method, which ", Named("refine", False),
                          " turns off")  # fmt: skip
    return checked


def settle_cut(values: Mapping[str, Any]) -> float | None:
    """The padj cut at which checked options settle the calls (None: they do not)."""
    cut = values["stable_calls"]
    if cut == "auto":
        return None if values["refine"] is False else values.get("padj", OPTIONS["padj"].default)
    return cut


def flip_risk_cut(values: Mapping[str, Any]) -> float:
    """The padj cut at which the ``flip_risk`` column is given: the settled one, else the summary's."""
    return settle_cut(values) or values.get("padj", OPTIONS["padj"].default)


def engine_options(values: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments of ``rsvelmopy.run_gsea`` for checked analysis options."""
    v = {n: values[n] for n in (o.name for o in ANALYSIS)}
    options = {
        "min_size": v["min_size"],
        "max_size": v["max_size"],
        "eps": v["eps"],
        "score_type": v["score_type"],
        "gsea_param": v["gsea_param"],
        "sample_size": v["sample_size"],
        "seed": v["seed"],
        "threads": v["threads"] or 0,
        "flip_risk_cut": flip_risk_cut(values),
    }
    if v["refine"] is False:
        options.update(mode="simple", nperm=v["nperm"])
    else:
        options.update(mode="multilevel", nperm_simple=v["nperm"], refine_all=v["refine"] == "all")
        options.update(stable_calls=settle_cut(values))
    return options


def _cli_value(option: Option) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            return option.parse(text)
        except ValueError:
            kinds = {int: "an integer", float: "a number", _parse_calls_cut: "a number, 'auto' or 'none'"}
            kind = kinds.get(option.parse, "a value")
            raise argparse.ArgumentTypeError(f"must be {kind}, not {text!r}") from None

    return parse


def add_arguments(group: argparse._ArgumentGroup, options: Iterable[Option]) -> None:
    """Add the command-line arguments of `options` to a parser's group."""
    for o in options:
        default = "" if o.default is None else f" (default: {o.default})"
        if o.switches:
            exclusive = group.add_mutually_exclusive_group() if len(o.switches) > 1 else group
            for value, flag in o.switches.items():
                text = o.switch_help.get(value) or (o.help if len(o.switches) == 1 else f"{o.name}={value!r}: {o.help}")
                exclusive.add_argument(flag, dest=o.name, action="store_const", const=value, help=text)
            group.set_defaults(**{o.name: o.default})
        else:
            group.add_argument(
                o.flag,
                dest=o.name,
                default=o.default,
                nargs=o.nargs,
                metavar=tuple(o.metavar.split()) if o.nargs else o.metavar,
                choices=o.choices,
                type=_cli_value(o) if o.parse and o.parse is not str else None,
                help=o.help + default,
            )


def from_arguments(args: argparse.Namespace, options: Iterable[Option]) -> dict[str, Any]:
    """The values of `options` in parsed arguments; a column given as digits is a position."""
    values = {}
    for o in options:
        value = getattr(args, o.name)
        if o.check is _column and isinstance(value, str) and value.isdigit():
            value = int(value)
        if o.nargs and isinstance(value, list):
            value = tuple(value)
        values[o.name] = value
    return values


# Per-sample gene-set scores (score_samples and ``rsvelmo score``), with the
# names and defaults of Bioconductor GSVA 1.46's gsva(). Options named as the
# enrichment analysis' (min_size, max_size, threads, top, plots) are spelled
# the same on the command line, with the defaults and meanings of the scores.
SCORING = (
    Option("method", "gsva", _choice("gsva", "ssgsea", "zscore", "plage"), "score: GSVA's kernel-CDF walk, "
           "ssGSEA's weighted walk, the combined z-score or PLAGE's first singular vector", "--method",
           choices=("gsva", "ssgsea", "zscore", "plage")),
    Option("kcdf", "gaussian", _choice("gaussian", "poisson", "none"), "gsva's kernel for each gene's CDF: "
           "gaussian for log-scale values (log-CPM, microarrays), poisson for integer counts, none for the "
           "empirical CDF", "--kcdf", choices=("gaussian", "poisson", "none")),
    Option("tau", None, lambda n, v: None if v is None else _number(0.0)(n, v), "exponent of the walk's "
           "weights (default: 1 for gsva, 0.25 for ssgsea)", "--tau", "T", parse=float),
    Option("mx_diff", True, _flag, "gsva's score: the sum of the walk's largest positive and largest negative "
           "deviations (True, the default), or the one of larger magnitude (False: --no-mx-diff)",
           switches={False: "--no-mx-diff"}),
    Option("abs_ranking", False, _flag, "gsva with mx_diff: the sum of the two deviations' magnitudes, which "
           "scores high a set whose genes sit at either end", switches={True: "--abs-ranking"}),
    Option("ssgsea_norm", True, _flag, "ssgsea: divide every score by the range of the whole score matrix "
           "(True, the default: a sample's scores then depend on the other samples), or not (False: "
           "--no-ssgsea-norm)", switches={False: "--no-ssgsea-norm"}),
    Option("min_size", 1, _integer(1), "smallest gene set scored, in genes of the matrix (after gsva, zscore "
           "and plage drop the constant genes)", "--min-size", "N", parse=int),
    Option("max_size", None, _optional_integer(1), "largest gene set scored (default: no bound)", "--max-size",
           "N", parse=int),
    Option("chunk_size", None, _optional_integer(1), "samples scored together (default: a working set near "
           "64 MB); with an executor, the samples (ssgsea) or gene sets (other methods) of one task (default: "
           "8 tasks)", "--chunk-size", "N", parse=int),
    Option("threads", None, _optional_integer(1), "worker threads of the engine (default: all cores); the "
           "scores do not depend on them", "--threads", "N", parse=int),
)  # fmt: skip

# What ``rsvelmo score`` reads besides the matrix and writes.
SCORE_OUTPUT = (
    Option("groups", None, lambda n, v: v, "the samples' groups: a CLS file, a sample sheet (with --group-col) "
           "or a column of an AnnData's obs; annotates the heatmap, and with two groups the sets that differ "
           "most are tested (Welch's t-test, BH)", "--groups", "FILE_OR_COLUMN"),
    Option("group_col", None, _column, "the column of the groups in a sample sheet given to --groups "
           "(the samples' names in its first column)", "--group-col", "COL", parse=str),
    # Read as the phenotype analysis reads its matrix: one declaration of each (EXPRESSION).
    OPTIONS["layer"],
    OPTIONS["map_ids"],
    OPTIONS["expression_duplicates"],
    Option("top", OPTIONS["top"].default, _integer(0), "gene sets shown in the summary, and per direction in the "
           "figure of the two-group test", "--top", "N", parse=int),
    Option("plots", False, _flag, "also draw figures: the clustered heatmap of the scores and, with two "
           "groups, the sets that differ most", switches={True: "--plots"}),
    OPTIONS["format"],
    OPTIONS["quiet"],
)  # fmt: skip

SCORE_OPTIONS: dict[str, Option] = {o.name: o for o in SCORING + SCORE_OUTPUT}
OPTIONS.update({name: o for name, o in SCORE_OPTIONS.items() if name not in OPTIONS})


def validate_scoring(values: Mapping[str, Any], names: Iterable[str] | None = None) -> dict[str, Any]:
    """Check and normalise the scoring options `names` (default: all), as :func:`validate` does."""
    names = list(SCORE_OPTIONS) if names is None else list(names)
    checked = {n: SCORE_OPTIONS[n].check(n, values.get(n, SCORE_OPTIONS[n].default)) for n in names}
    low, high = checked.get("min_size"), checked.get("max_size")
    if low is not None and high is not None and low > high:
        raise OptionError("min_size", f"({low}) must not exceed ", Named("max_size"), f" ({high})")
    if checked.get("abs_ranking") and checked.get("mx_diff") is False:
        raise OptionError("abs_ranking", "applies to the sum of the two deviations, which ", Named("mx_diff", False),
                          " replaces by the larger one")  # fmt: skip
    return checked
