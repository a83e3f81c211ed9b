"""The report and the figures, as a person would see them: figures checked for their structure, the
report rendered in a real browser (headless Chromium) after its scripts ran."""

import os
import pathlib
import random
import re
import shutil
import subprocess

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")
pytest.importorskip("networkx")
pytest.importorskip("jinja2")

import matplotlib  # noqa: E402
import matplotlib.colors as mcolors  # noqa: E402

matplotlib.use("Agg")

import rsvelmo  # noqa: E402
import rsvelmo.cli  # noqa: E402
from rsvelmo import plot  # noqa: E402

BUILD = pathlib.Path(__file__).resolve().parents[2] / "build"


@pytest.fixture(scope="module")
def analysis(example_ranks, example_gmt, tmp_path_factory):
    """The bundled example against every tenth GO set, permutations only: quick, with clear hits."""
    gmt = tmp_path_factory.mktemp("sets") / "go_tenth.gmt"
    gmt.write_text("".join(pathlib.Path(example_gmt).read_text().splitlines(keepends=True)[::10]))
    table = rsvelmo.gsea(example_ranks, str(gmt), refine=False, nperm=2000)
    return table, example_ranks, str(gmt)


def texts_inside(figure):
    """Every visible text of the figure lies inside its canvas (to a pixel)."""
    figure.canvas.draw()
    canvas, renderer = figure.bbox.expanded(1.0, 1.0).padded(1), figure.canvas.get_renderer()
    texts = [t for t in figure.findobj(matplotlib.text.Text) if t.get_visible() and t.get_text().strip()]
    return all(
        canvas.contains(*b.min) and canvas.contains(*b.max) for b in (t.get_window_extent(renderer) for t in texts)
    )


class TestFigures:
    def test_dot_plot_and_its_null_result(self, analysis):
        table, _, _ = analysis
        fig = plot.dot_plot(table, top=5)
        ax = fig.axes[0]
        up, down = (table.padj < 0.05) & (table.nes > 0), (table.padj < 0.05) & (table.nes < 0)
        assert ax.get_title() == "Top enriched gene sets" and texts_inside(fig)
        assert len(ax.collections[0].get_offsets()) == min(5, up.sum()) + min(5, down.sum())
        labels = [t.get_text() for t in ax.get_yticklabels()]
        assert all(len(line) <= plot.LABEL_WIDTH for label in labels for line in label.split("\n"))
        assert fig.axes[1].get_ylabel() == "-log10 padj" and fig.axes[1].get_ylim() == (0.0, plot.COLOUR_MAX)
        null = plot.dot_plot(table.assign(padj=0.5), top=5)
        assert null.axes[0].get_title() == "No gene set with padj < 0.05: top gene sets by p-value"
        assert len(null.axes) == 1  # no colour bar, and every point in the neutral colour
        assert {tuple(c) for c in null.axes[0].collections[0].get_facecolors()} == {mcolors.to_rgba(plot.NEUTRAL)}

    def test_running_sum_marks_peak_leading_edge_and_zero_crossing(self, analysis):
        table, ranks, gmt = analysis
        best = table.iloc[0].to_dict()
        genes = rsvelmo.read_gmt(gmt)[best["pathway"]]
        fig = plot.enrichment_plot(ranks, genes, best)
        top, ticks, metric = fig.axes
        assert f"NES = {best['nes']:.3g}" in top.get_title() and "log2err" in top.get_title()
        assert texts_inside(fig)
        _, hits, curve = plot.running_sum(ranks, genes)
        # The engine scores with integer-scaled weights, the figure with the scores themselves.
        assert max(curve, key=abs) == pytest.approx(best["es"], rel=1e-5)
        assert len(ticks.collections[0].get_segments()) == len(hits) == best["size"]
        assert any(t.get_text() == "zero cross" for t in metric.texts)
        several = plot.enrichment_plots(ranks, rsvelmo.read_gmt(gmt), table.head(3).to_dict("records"))
        assert len(several.axes) == 9

    def test_a_url_description_is_not_a_label(self):
        assert plot.label_of({"pathway": "HALLMARK_X", "description": "http://msigdb/HALLMARK_X"}) == "HALLMARK_X"
        assert plot.label_of({"pathway": "GO:1", "description": "rRNA processing"}) == "rRNA processing"

    def test_heatmap_map_and_across_rankings(self, analysis):
        table, ranks, _ = analysis
        heat = plot.leading_edge_heatmap(table, ranks, top=4, max_genes=20)
        grid = heat.axes[0].images[0].get_array()
        up, down = (table.padj < 0.05) & (table.nes > 0), (table.padj < 0.05) & (table.nes < 0)
        assert grid.shape[0] == min(4, up.sum()) + min(4, down.sum()) and grid.shape[1] <= 20
        columns = [t.get_text() for t in heat.axes[0].get_xticklabels()]
        assert [ranks[g] for g in columns] == sorted((ranks[g] for g in columns), reverse=True)
        assert (~grid.mask).sum(axis=1).min() >= 2  # every set shows its own leading-edge genes
        emap = plot.enrichment_map(table, max_sets=6)
        significant = int((table.padj < 0.05).sum())
        assert emap.axes[0].get_title().startswith(f"Enrichment map: 6 of the {significant} gene sets with padj")
        sizes = [int(t.get_text().split()[0]) for t in emap.axes[0].get_legend().get_texts()]
        assert sizes and set(sizes) <= set(table["size"])  # in genes, as the sets have them
        assert texts_inside(heat) and texts_inside(emap)
        many = pd.concat([table.assign(ranking="a"), table.assign(ranking="b", nes=-table.nes)])
        across = plot.dot_plot_many(many, top=3)
        assert [t.get_text() for t in across.axes[0].get_xticklabels()] == ["a", "b"]

    def test_formats_keep_text_editable(self, analysis, tmp_path):
        from PIL import Image

        for fmt, magic in [("png", b"\x89PNG"), ("svg", b"<?xml"), ("pdf", b"%PDF")]:
            plot.save(plot.dot_plot(analysis[0]), tmp_path / f"dot.{fmt}")
            assert (tmp_path / f"dot.{fmt}").read_bytes().startswith(magic)
        with Image.open(tmp_path / "dot.png") as image:
            assert round(image.info["dpi"][0]) == 300
        pdf = (tmp_path / "dot.pdf").read_bytes()  # font dictionaries stay uncompressed in matplotlib's PDFs
        assert b"/Type3" not in pdf and re.search(rb"/Subtype\s*/(CIDFontType2|TrueType)", pdf)
        svg = (tmp_path / "dot.svg").read_text()
        assert "<text" in svg and "normalized enrichment score" in svg

    def test_dot_plot_legend_reads_in_genes(self, analysis):
        table = analysis[0]
        fig = plot.dot_plot(table, top=5)
        values = [float(t.get_text()) for t in fig.axes[0].get_legend().get_texts()]
        chosen = [float(v) for v in fig.axes[0].collections[0].get_sizes()]
        assert fig.axes[0].get_legend().get_title().get_text() == "genes in set" and values
        sizes = [((a - 15) / 9.6) ** 2 for a in chosen]
        assert min(sizes) - 1 <= min(values) and max(values) <= max(sizes) + 1  # gene counts, not marker areas
        fraction = plot.dot_plot(table, top=5, size_by="leading_edge")
        assert all(0 <= float(t.get_text()) <= 1 for t in fraction.axes[0].get_legend().get_texts())

    def test_several_running_sums_from_what_the_package_returns(self, analysis, tmp_path, monkeypatch):
        table, ranks, gmt = analysis
        rnk = tmp_path / "r.rnk"
        rnk.write_text("".join(f"{g}\t{s!r}\n" for g, s in ranks.items()))
        fig = plot.enrichment_plots(str(rnk), gmt, table.head(4), path=tmp_path / "four.png")
        assert (tmp_path / "four.png").exists() and len(fig.axes) == 12
        for top, ticks, _ in zip(*[iter(fig.axes)] * 3):  # only the metric panel labels the ranks
            assert not any(t.get_visible() and t.get_text() for t in top.get_xticklabels() + ticks.get_xticklabels())
        one = plot.enrichment_plot(pd.Series(ranks), rsvelmo.gene_sets(gmt)[table.pathway[0]], table.iloc[0])
        assert "NES = " in one.axes[0].get_title()
        # In a notebook's inline backend the figure is returned closed, so that it is shown once.
        monkeypatch.setattr(matplotlib, "get_backend", lambda: "module://matplotlib_inline.backend_inline")
        shown = plot.dot_plot(table, top=3)
        assert shown.number not in matplotlib.pyplot.get_fignums()


def test_the_gene_set_table_and_the_running_sums_in_one_axes(analysis):
    table, ranks, gmt = analysis
    sets = rsvelmo.gene_sets(gmt)
    fig = plot.gene_set_table_plot(table, ranks, gmt, top=3)
    ax = fig.axes[0]
    significant = table[table.padj < 0.05]
    chosen = [*significant[significant.nes > 0].pathway[:3], *significant[significant.nes < 0].pathway[:3]]
    assert len(ax.collections) == len(chosen)
    for lines, name in zip(ax.collections, chosen):  # a line per gene of the set, at its rank
        assert len(lines.get_segments()) == sum(g in ranks for g in sets[name])
    assert texts_inside(fig)
    sums = plot.running_sums_plot(ranks, sets, table.head(3))
    assert len(sums.axes[0].get_legend().get_texts()) == 3 and len(sums.axes[0].lines) == 4  # and the zero line


def test_figures_and_report_are_drawn_again_from_a_saved_table(analysis, tmp_path):
    table, ranks, gmt = analysis
    rnk = tmp_path / "r.rnk"
    rnk.write_text("".join(f"{g}\t{s!r}\n" for g, s in ranks.items()))
    assert rsvelmo.cli.main(["run", str(rnk), gmt, "-o", str(tmp_path / "run"), "--no-refine", "--nperm", "2000",
                             "--quiet"]) == 0  # fmt: skip
    saved = rsvelmo.read_results(tmp_path / "run" / "results.tsv")
    pd.testing.assert_frame_equal(saved[table.columns], table)  # every digit and gene comes back
    out = tmp_path / "figures"
    name = table.pathway[5]
    argv = [str(tmp_path / "run" / "results.tsv"), str(rnk), gmt]
    assert rsvelmo.cli.main(["plot", *argv, "--out", str(out), "--sets", name, "--format", "svg"]) == 0
    assert {"summary.svg", "gene_set_table.svg", f"set_{name.replace(':', '_')}.svg"} <= set(os.listdir(out))
    assert rsvelmo.cli.main(["report", *argv, "-o", str(tmp_path / "again.html")]) == 0
    assert name in (tmp_path / "again.html").read_text()


def test_a_table_of_the_contract_columns_alone_gets_every_figure_and_the_report(analysis, tmp_path):
    table, ranks, gmt = analysis
    contract = table[list(rsvelmo._results.CONTRACT)]  # what a table of another analysis may hold, and no more
    saved = tmp_path / "other.results.tsv"
    contract.assign(leading_edge=contract.leading_edge.map(",".join)).to_csv(saved, sep="\t", index=False, na_rep="NA")
    back = rsvelmo.read_results(saved)
    assert list(back.columns) == rsvelmo._results.COLUMNS and back.es.isna().all() and back.description.isna().all()
    assert list(back.leading_edge_size) == [len(genes) for genes in contract.leading_edge]
    pd.testing.assert_frame_equal(back[contract.columns], contract)
    rnk = tmp_path / "r.rnk"
    rnk.write_text("".join(f"{g}\t{s!r}\n" for g, s in ranks.items()))
    argv = [str(saved), str(rnk), gmt]
    assert rsvelmo.cli.main(["plot", *argv, "--out", str(tmp_path / "figures"), "--format", "svg"]) == 0
    assert {"summary.svg", "leading_edge.svg", "enrichment_map.svg", "gene_set_table.svg", "running_sums.svg"} <= set(
        os.listdir(tmp_path / "figures")
    )
    assert rsvelmo.cli.main(["report", *argv, "-o", str(tmp_path / "report.html")]) == 0
    assert contract.pathway[0] in (tmp_path / "report.html").read_text()
    many = pd.concat([contract.assign(ranking=name) for name in ("a", "b")], ignore_index=True)
    assert len(plot.dot_plot_many(many).axes[0].collections) > 0


def test_clusters_of_overlapping_leading_edges_and_their_representatives(analysis):
    clustered = rsvelmo.cluster_gene_sets(analysis[0])
    significant = clustered[clustered.padj < 0.05]
    assert significant.cluster.notna().all() and clustered[clustered.padj >= 0.05].cluster.isna().all()
    for _, members in significant.groupby("cluster"):
        assert (members.representative == rsvelmo._results.sort_records(members.to_dict("records"))[0]["pathway"]).all()
    assert rsvelmo.cluster_gene_sets(analysis[0], min_overlap=1.0).cluster.nunique() > significant.cluster.nunique()


def browser():
    return shutil.which("chromium-headless-shell") or shutil.which("chromium")


def in_browser(path, *flags, fragment=""):
    """Opens the page in headless Chromium once its scripts had ten seconds of virtual time."""
    command = [browser(), "--no-sandbox", "--disable-gpu", "--virtual-time-budget=10000", *flags]
    done = subprocess.run([*command, f"file://{path}#{fragment}"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def dump_dom(path, fragment=""):
    return in_browser(path, "--dump-dom", fragment=fragment)


def rows_of(dom):
    return re.findall(r'<tr class="row[^"]*" data-pathway="([^"]+)">(.*?)</tr>', dom)


@pytest.mark.skipif(browser() is None, reason="needs headless Chromium (make test installs it)")
class TestReportInABrowser:
    def test_table_sorting_figures_and_detail(self, analysis, tmp_path):
        table, ranks, gmt = analysis
        path = rsvelmo.report(
            table, ranks, gmt, tmp_path / "report.html", settings={"seed": 42}, inputs={"ranking": "panc1.rnk"}
        )
        html = pathlib.Path(path).read_text()
        # Nothing is fetched: no external scripts, styles, images or fonts.
        assert not re.search(r'(src|href)="(https?:)?//|url\((https?:)?//|@import|<link', html)
        by_padj = rows_of(dump_dom(path, "sort=padj&dir=asc"))
        assert len(by_padj) == 50
        ties = table.assign(strength=-table.nes.abs())  # ties go to the larger |NES|, as in results.tsv
        expected = ties.sort_values(["padj", "strength", "pathway"], kind="stable").pathway.tolist()[:50]
        assert [p for p, _ in by_padj][:10] == expected[:10]
        descending = rows_of(dump_dom(path, "sort=padj&dir=desc"))
        assert [p for p, _ in descending] != [p for p, _ in by_padj]
        dom = dump_dom(path)
        assert f"{len(table)} of {len(table)} gene sets" in dom
        assert [p for p, _ in rows_of(dom)] == table.pathway.tolist()[:50]  # the order of results.tsv
        assert 'href="https://amigo.geneontology.org/amigo/term/GO:' in dom and "download table (TSV)" in dom
        figures = re.findall(r'<section class="figures"[^>]*>(.*?)</section>', dom, re.S)
        assert len(figures) == 1 and figures[0].count("<svg") == 3
        detail = re.search(r'<section id="detail" style="display: block;">(.*?)</section>', dom, re.S).group(1)
        best = table.iloc[0]
        assert best.pathway in detail and "<svg" in detail and "running ES" in detail
        assert detail.count('<tr class="edge">') == best.leading_edge_size
        assert len(re.findall(r"<tr( class=\"edge\")?><td class=\"num\">", detail)) == best["size"]
        BUILD.mkdir(exist_ok=True)
        in_browser(path, "--hide-scrollbars", "--window-size=1400,1800", f"--screenshot={BUILD / 'report.png'}")
        assert (BUILD / "report.png").stat().st_size > 10000

    def test_a_click_shows_the_set_in_view_with_its_members(self, analysis, tmp_path):
        table, ranks, gmt = analysis
        path = pathlib.Path(rsvelmo.report(table, ranks, gmt, tmp_path / "report.html"))
        # A click on the fourth row, as a person would make it; the page then says where the detail is.
        probe = """<script>
          const row = document.querySelectorAll("#results tbody tr")[3];
          row.click();
          const box = document.getElementById("detail").getBoundingClientRect();
          document.body.dataset.probe = [row.dataset.pathway, Math.round(box.top), innerHeight,
            document.querySelectorAll("#members tbody tr").length].join("|");
        </script></body>"""
        path.write_text(path.read_text().replace("</body>", probe))
        dom = in_browser(path, "--window-size=1400,900", "--dump-dom")
        pathway, top, height, members = re.search(r'data-probe="([^"]+)"', dom).group(1).split("|")
        assert pathway == table.pathway[3] and 0 <= int(top) < int(height)
        assert int(members) == table["size"][3]

    def test_several_rankings_share_one_report(self, analysis, tmp_path):
        table, ranks, gmt = analysis
        many = pd.concat([table.assign(ranking="kO"), table.head(30).assign(ranking="other")])
        path = rsvelmo.report(many, {"kO": ranks, "other": ranks}, gmt, tmp_path / "report.html")
        first, second = dump_dom(path, "ranking=0"), dump_dom(path, "ranking=1")
        assert '<select id="ranking">' in first
        assert f"{len(table)} of {len(table)} gene sets" in first and "30 of 30 gene sets" in second

    def test_sixteen_thousand_gene_sets(self, tmp_path):
        rng = random.Random(5)
        genes = [f"G{i}" for i in range(20000)]
        ranks = {g: rng.gauss(0, 2) for g in genes}
        sets = {f"SET_{i:05d}": rng.sample(genes, rng.randint(15, 200)) for i in range(16000)}
        records = [
            {"pathway": name, "description": f"random set {name}", "size": len(members), "es": 0.3, "nes": 1.2}
            | {
                "pval": p,
                "padj": min(1.0, p * 3),
                "log2err": 0.5,
                "leading_edge": members[:10],
                "leading_edge_size": 10,
            }
            for (name, members), p in zip(sets.items(), (rng.random() for _ in sets))
        ]
        path = rsvelmo.report(records, ranks, sets, tmp_path / "report.html")
        assert os.path.getsize(path) < 25e6
        dom = dump_dom(path, "sort=pval&dir=asc&page=3")
        assert "16000 of 16000 gene sets" in dom and "page 4 of 320" in dom
        assert len(rows_of(dom)) == 50
