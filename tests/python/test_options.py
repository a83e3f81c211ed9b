"""The options are declared once: the API, the command line and the README
must agree with the declarations."""

import inspect
import pathlib
import re

import pytest
import rsvelmo
import rsvelmopy
from rsvelmo._clusters import annotate_clusters, cluster_records
from rsvelmo._engine import SETTLED_AT
from rsvelmo._errors import Advice, RankingError
from rsvelmo._options import ANALYSIS, OPTIONS, OUTPUT, READING
from rsvelmo.analyses.checks import check_tied_sets
from rsvelmo.cli import build_parser

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()


@pytest.mark.parametrize("function, skipped", [(rsvelmo.gsea, {"group_col"}), (rsvelmo.gsea_many, set())])
def test_the_python_api_takes_every_analysis_and_reading_option_with_its_default(function, skipped):
    parameters = inspect.signature(function).parameters
    for option in ANALYSIS + READING:
        if option.name not in skipped:
            assert parameters[option.name].default == option.default, option.name
    assert {o.name for o in READING} & set(parameters) <= {o.name for o in READING} - skipped


def test_the_command_line_takes_every_option_with_its_default_and_the_readme_lists_them():
    args = build_parser().parse_args(["run", "r.rnk", "s.gmt", "-o", "out"])
    for option in ANALYSIS + READING + OUTPUT:
        assert getattr(args, option.name) == option.default, option.name
        for flag in [option.flag, *option.switches.values()]:
            if flag:
                assert re.search(rf"`{flag}`|{flag}\b", README), f"README does not mention {flag}"
    signature = re.search(r"`rsvelmo\.gsea\(ranks, gene_sets, \*, (.*?)\)`", README, re.S).group(1)
    documented = dict(re.findall(r"(\w+)=([^,]+)", signature.replace("\n", " ")))
    for name, text in documented.items():
        if name in OPTIONS:
            assert text.strip() == repr(OPTIONS[name].default).replace("'", '"'), name


@pytest.mark.parametrize(
    "parts, python, cli",
    [
        (("with ", Advice("duplicates", "first")), "with duplicates='first'", "with --duplicates first"),
        (("drop with ", Advice("na", "drop")), "drop with na='drop'", "drop with --drop-na"),
        (("try ", Advice("ignore_case", True)), "try ignore_case=True", "try --ignore-case"),
        (("name it with ", Advice("score_col")), "name it with score_col=", "name it with --score-col"),
        (("or ", Advice("refine", False)), "or refine=False", "or --no-refine"),
    ],
)  # fmt: skip
def test_one_message_in_each_spelling(parts, python, cli):
    error = RankingError(*parts)
    assert str(error) == python and error.render("cli") == cli


FIGURE_DEFAULTS = {"padj_cut": "padj", "top": "top", "min_overlap": "min_overlap", "gsea_param": "gsea_param",
                   "collapse": "collapse"}  # fmt: skip


@pytest.mark.parametrize(
    "function",
    [rsvelmo.plot.dot_plot, rsvelmo.plot.dot_plot_many, rsvelmo.plot.leading_edge_heatmap, rsvelmo.plot.enrichment_map,
     rsvelmo.plot.gene_set_table_plot, rsvelmo.plot.running_sum, rsvelmo.plot.enrichment_plot,
     rsvelmo.plot.enrichment_plots, rsvelmo.plot.running_sums_plot, rsvelmo.report, rsvelmo.cluster_gene_sets,
     annotate_clusters, cluster_records, check_tied_sets],
    ids=lambda f: f.__name__,
)  # fmt: skip
def test_figures_clusters_and_the_report_take_their_defaults_from_the_declarations(function):
    parameters = inspect.signature(function).parameters
    shared = [name for name in FIGURE_DEFAULTS if name in parameters]
    assert shared, "a function that takes none of the options"
    for name in shared:
        declared = OPTIONS[FIGURE_DEFAULTS[name]].default
        # Across rankings, half the top sets of each, as the command line draws it.
        expected = declared // 2 if (function, name) == (rsvelmo.plot.dot_plot_many, "top") else declared
        assert parameters[name].default == expected, name


def test_the_settled_distance_is_the_engines_and_every_help_quotes_it():
    quoted = f"within {SETTLED_AT:g} standard errors"
    assert f"{SETTLED_AT:g} standard errors" in " ".join(rsvelmopy.run_gsea.__doc__.split())
    assert quoted in OPTIONS["stable_calls"].help and quoted in " ".join(rsvelmo.gsea.__doc__.split())
    assert "{" + "padj}" not in rsvelmo.gsea.__doc__ and f"padj < {OPTIONS['padj'].default:g}" in rsvelmo.gsea.__doc__
