"""The package's rooms and the one direction its data flows in (see
python/rsvelmo/README.md), and the public names that stay put."""

import ast
import importlib
import pathlib
import pkgutil

import pytest
import rsvelmo
import rsvelmo.plot

PACKAGE = pathlib.Path(rsvelmo.__file__).parent
# The base modules, each importing only those before it.
BASE = ["_version", "_engine", "_options", "_errors", "_outputs", "_results", "_clusters"]
# The rooms from the bottom up, and what each may import besides the rooms below it.
ROOMS = ["base", "readers", "analyses", "plot", "reporting", "cli"]
FORBIDDEN = {"plot": {"analyses"}, "reporting": {"analyses"}}
FACADE = {"rsvelmo", "rsvelmo.__main__"}  # the public names and `python -m rsvelmo`: they import every room


def modules() -> list[str]:
    found = ["rsvelmo"]
    for info in pkgutil.walk_packages([str(PACKAGE)], "rsvelmo."):
        found.append(info.name)
    return found


def source_of(name: str) -> pathlib.Path:
    parts = name.split(".")[1:]
    folder = PACKAGE.joinpath(*parts)
    return folder / "__init__.py" if folder.is_dir() else folder.with_suffix(".py")


def imported(name: str) -> set[str]:
    """Every module of the package or outside it that `name` imports, at the top or inside a function."""
    path = source_of(name)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    known = set(modules())
    out = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            out.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                target = f"{base}.{node.module}" if node.module else base
            else:
                target = node.module
            submodules = {f"{target}.{a.name}" for a in node.names} & known
            out.update(submodules or {target})
    return out


def room(name: str) -> str:
    top = name.split(".")[1]
    if top in BASE:
        return "base"
    assert top in ROOMS, f"{name} stands in no room; add it to one (README.md)"
    return top


@pytest.mark.parametrize("name", [m for m in modules() if m != "rsvelmo.__main__"])  # that one runs the command
def test_every_module_imports(name):
    importlib.import_module(name)


@pytest.mark.parametrize("name", [m for m in modules() if m not in FACADE])
def test_imports_run_one_way(name):
    here = room(name)
    for target in imported(name):
        if target == "rsvelmopy":
            assert name == "rsvelmo._engine", f"{name} imports the engine; take its names from rsvelmo._engine"
        if not target.startswith("rsvelmo."):
            assert target != "rsvelmo", f"{name} imports the package's face"
            continue
        there = room(target)
        if here == "base":
            assert there == "base", f"{name} (a base module) imports {target}"
            own, other = BASE.index(name.split(".")[1]), BASE.index(target.split(".")[1])
            assert other < own, f"{name} imports {target}, which stands above it among the base modules"
        else:
            assert ROOMS.index(there) <= ROOMS.index(here), f"{name} ({here}) imports {target} ({there}), above it"
            assert there not in FORBIDDEN.get(here, set()), f"{name} ({here}) must not import {target} ({there})"


def test_one_module_talks_to_the_engine():
    assert [m for m in modules() if "rsvelmopy" in imported(m)] == ["rsvelmo._engine"]


def test_the_public_names():
    assert sorted(rsvelmo.__all__) == sorted(
        ["gsea", "gsea_many", "gsea_phenotype", "ora", "score_samples", "compare_score_groups", "gene_sets",
         "collections", "read_ranks", "read_rankings", "read_results", "read_matrix", "read_gmt", "write_gmt",
         "Reading", "RankingError", "RankingWarning", "cluster_gene_sets", "report", "validate", "run_gsea",
         "run_gsea_py", "plot", "__version__"]
    )  # fmt: skip
    assert sorted(rsvelmo.plot.__all__) == sorted(
        ["running_sum", "enrichment_plot", "enrichment_plots", "running_sums_plot", "gene_set_table_plot",
         "dot_plot", "dot_plot_many", "leading_edge_heatmap", "enrichment_map", "expression_heatmap",
         "summary_plot", "save", "label_of", "COLOUR_MAX", "LABEL_WIDTH"]
    )  # fmt: skip
    for module in (rsvelmo, rsvelmo.plot):
        for name in module.__all__:
            assert getattr(module, name) is not None, name
    assert rsvelmo.report.__module__ == "rsvelmo.reporting.report" and callable(rsvelmo.gsea)
    assert callable(importlib.import_module("rsvelmo.cli").main)  # the console script; test_cli runs it
