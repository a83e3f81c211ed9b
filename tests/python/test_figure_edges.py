"""Figures and the report where names and sizes meet their edges: '$' in
labels, crowded or nearly empty enrichment maps, clipped colour scales,
legends, a ranking of a million genes, and the report's table and URL."""

import colorsys
import itertools
import pathlib
import random
import re
import shutil
import subprocess

import pytest

pytest.importorskip("matplotlib")
pytest.importorskip("networkx")
pytest.importorskip("jinja2")

import matplotlib  # noqa: E402
import matplotlib.colors as mcolors  # noqa: E402

matplotlib.use("Agg")

import rsvelmo  # noqa: E402
from rsvelmo import plot  # noqa: E402
from rsvelmo.cli.run import TABLE_COLUMNS  # noqa: E402


@pytest.fixture(scope="module")
def tenth(example_ranks, example_gmt, tmp_path_factory):
    """The bundled example against every tenth GO set, permutations only."""
    gmt = tmp_path_factory.mktemp("sets") / "go_tenth.gmt"
    gmt.write_text("".join(pathlib.Path(example_gmt).read_text().splitlines(keepends=True)[::10]))
    return rsvelmo.gsea(example_ranks, str(gmt), refine=False, nperm=2000), example_ranks, str(gmt)


@pytest.fixture(scope="module")
def dollars():
    """Gene sets whose descriptions and genes hold '$', as MSigDB-like files may."""
    rng = random.Random(2)
    genes = ["$x$", "a$b"] + [f"G{i}" for i in range(300)]
    ranks = {g: 10.0 - i * 0.05 + rng.random() * 1e-3 for i, g in enumerate(genes)}
    sets = {"S_POWER": genes[:20] + genes[200:210], "S_TWO": genes[:25:2] + genes[250:260], "S_LOW": genes[-30:]}
    descriptions = {"S_POWER": "$x^2$", "S_TWO": "$$", "S_LOW": "costs in $ and $ again"}
    table = rsvelmo.gsea(ranks, sets, min_size=5, refine=False, nperm=500)
    table["description"] = table.pathway.map(descriptions)
    return table, ranks, sets


def test_dollar_signs_are_drawn_as_written_in_every_figure(dollars, tmp_path):
    table, ranks, sets = dollars
    many = table.assign(ranking="r1")
    figures = {
        "dot": lambda: plot.dot_plot(table, padj_cut=1.0),
        "many": lambda: plot.dot_plot_many(many, padj_cut=1.0),
        "heatmap": lambda: plot.leading_edge_heatmap(table, ranks, padj_cut=1.0),
        "map": lambda: plot.enrichment_map(table, padj_cut=1.0, min_overlap=0.1),
        "table": lambda: plot.gene_set_table_plot(table, ranks, sets, padj_cut=1.0),
        "sums": lambda: plot.running_sums_plot(ranks, sets, table),
        "one": lambda: plot.enrichment_plot(ranks, sets["S_POWER"], table.iloc[0].to_dict()),
        "grid": lambda: plot.enrichment_plots(ranks, sets, table),
    }
    for name, draw in figures.items():
        plot.save(draw(), tmp_path / f"{name}.svg")
        plot.save(draw(), tmp_path / f"{name}.png")
        svg = (tmp_path / f"{name}.svg").read_text()
        assert "$" in svg, name
    assert ">$x^2$<" in (tmp_path / "dot.svg").read_text() and ">$$<" in (tmp_path / "dot.svg").read_text()
    assert "a$b" in (tmp_path / "heatmap.svg").read_text()


def _node_boxes(fig, ax):
    """The display boxes of the map's nodes, from their drawn markers."""
    boxes = []
    for collection in ax.collections:
        if hasattr(collection, "get_sizes") and len(collection.get_offsets()) and collection.get_sizes().size:
            for (x, y), size in zip(ax.transData.transform(collection.get_offsets()), collection.get_sizes()):
                r = size**0.5 / 2 * fig.dpi / 72
                boxes.append(matplotlib.transforms.Bbox([[x - r, y - r], [x + r, y + r]]))
    return boxes


@pytest.mark.parametrize("significant", [2, 60])
def test_enrichment_map_labels_are_text_clear_of_nodes_and_of_each_other(tenth, tmp_path, significant):
    table, _, _ = tenth
    table = table.copy()
    table.loc[significant:, "padj"] = 0.9  # the best `significant` sets pass the cut
    fig = plot.enrichment_map(table)
    ax = fig.axes[0]
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    labels = [t for t in ax.texts if t.get_text()]
    boxes = [t.get_window_extent(renderer) for t in labels]
    assert labels and all(ax.bbox.contains(*b.min) and ax.bbox.contains(*b.max) for b in boxes)
    assert not any(a.overlaps(b) for a, b in itertools.combinations(boxes, 2))
    nodes = _node_boxes(fig, ax)
    assert len(nodes) == min(int((table.padj < 0.05).sum()), 60) and not any(
        b.overlaps(n) for b in boxes for n in nodes
    )
    legend = ax.get_legend().get_window_extent(renderer)
    assert not any(legend.overlaps(n) for n in nodes)
    if significant == 2:  # a small canvas for a small map
        assert tuple(fig.get_size_inches()) == (5.0, 3.4)
    plot.save(fig, tmp_path / "map.svg")
    svg = (tmp_path / "map.svg").read_text()
    for label in labels:  # text, not outlines
        assert f">{label.get_text().splitlines()[0]}" in svg


def test_dot_plot_marks_clipped_colours_and_keeps_its_legend_off_the_dots(tenth):
    table, _, _ = tenth
    for rows, inside in [(table, True), (table[table.nes > 0], False)]:
        fig = plot.dot_plot(rows)
        ax, bar = fig.axes
        assert bar._colorbar.extend == "max"
        fig.canvas.draw()
        legend = ax.get_legend().get_window_extent(fig.canvas.get_renderer())
        assert ax.bbox.contains(*legend.min) == inside
        if not inside:
            assert legend.y1 < ax.bbox.y0  # under the axes


def test_running_sums_use_dark_distinct_lines_and_a_narrow_legend(tenth):
    table, ranks, gmt = tenth
    fig = plot.running_sums_plot(ranks, gmt, table.head(8))
    ax = fig.axes[0]
    lines = [line for line in ax.get_lines() if line.get_label() and not line.get_label().startswith("_")]
    assert len(lines) == 8
    lightness = [colorsys.rgb_to_hls(*mcolors.to_rgb(line.get_color()))[1] for line in lines]
    assert max(lightness) < 0.6  # no pale yellow on white
    assert len({(mcolors.to_hex(line.get_color()), line.get_linestyle()) for line in lines}) == 8
    fig.canvas.draw()
    legend = ax.get_legend().get_window_extent(fig.canvas.get_renderer())
    assert legend.width < 0.3 * fig.bbox.width


def browser():
    return shutil.which("chromium-headless-shell") or shutil.which("chromium")


PROBE_ERRORS = '<script>window.seen=[];addEventListener("error",e=>seen.push(String(e.message)));</script>'
PROBE = """<script>
  const saved = [];
  download = (name, header, rows) => saved.push([name, header.join("|"), rows.length]);
  document.getElementById("download-results").click();
  const ticks = [...document.querySelectorAll("#detail-plot text")].map(t => t.textContent);
  document.body.dataset.probe = JSON.stringify({
    errors: seen, hash: location.hash, saved, ticks,
    drawn: document.getElementById("detail").style.display === "block"
      && !!document.querySelector("#detail-plot svg")});
</script></body>"""


def probe(path, fragment=""):
    html = pathlib.Path(path).read_text()
    html = html.replace('<script id="report-data"', PROBE_ERRORS + '<script id="report-data"', 1)
    pathlib.Path(path).write_text(html.replace("</body>", PROBE))
    command = [browser(), "--no-sandbox", "--disable-gpu", "--virtual-time-budget=20000", "--dump-dom"]
    done = subprocess.run([*command, f"file://{path}#{fragment}"], capture_output=True, text=True, timeout=300)
    import html as markup
    import json

    return json.loads(markup.unescape(re.search(r'data-probe="([^"]*)"', done.stdout).group(1)))


@pytest.mark.skipif(browser() is None, reason="needs headless Chromium (make test installs it)")
class TestReportEdges:
    def test_a_million_genes_draw_the_detail_with_round_ticks(self, tmp_path):
        rng = random.Random(4)
        genes = [f"G{i}" for i in range(1_000_000)]
        ranks = dict(zip(genes, sorted((rng.gauss(0, 2) for _ in genes), reverse=True)))
        sets = {"TOP": genes[:400_000:2000], "SPREAD": genes[::10_000]}
        records = [
            {"pathway": "TOP", "size": 200, "es": 0.4, "nes": 2.1, "pval": 1e-8, "padj": 2e-8, "log2err": 0.5,
             "leading_edge": sets["TOP"][:50]},
            {"pathway": "SPREAD", "size": 100, "es": -0.1, "nes": -0.5, "pval": 0.9, "padj": 0.9, "log2err": 0.1,
             "leading_edge": sets["SPREAD"][-5:]},
        ]  # fmt: skip
        path = rsvelmo.report(records, ranks, sets, tmp_path / "report.html")
        assert pathlib.Path(path).stat().st_size < 40e6  # about 31 bytes a gene: name, score in full, separators
        seen = probe(path)
        assert seen["errors"] == [] and seen["drawn"]
        assert {"0", "500000", "1000000"} <= set(seen["ticks"]) and "-0.00" not in seen["ticks"]
        assert not any(re.fullmatch(r"-?\d+\.\d{3,}|\d*[1-9]\d{3}", t) for t in seen["ticks"])

    def test_the_downloaded_table_is_results_tsv_and_the_url_keeps_the_filter(self, tenth, tmp_path):
        table, ranks, gmt = tenth
        path = rsvelmo.report(table, ranks, gmt, tmp_path / "report.html")
        seen = probe(path, "q=ribo&padj=0.05&sort=padj&dir=asc")
        name, header, rows = seen["saved"][0]
        assert (name, header) == ("results.tsv", "|".join(TABLE_COLUMNS))
        chosen = table[table.description.str.contains("ribo", case=False) & (table.padj <= 0.05)]
        assert rows == len(chosen) > 0
        assert all(part in seen["hash"] for part in ("q=ribo", "padj=0.05", "sort=padj", "dir=asc", "page=0"))
        assert seen["errors"] == [] and "-0.00" not in seen["ticks"]
