"""Builds the gene identifier table and the Gene Ontology collections shipped
in python/rsvelmo/data/, from Debian's r-bioc-org.hs.eg.db and r-bioc-go.db
(their SQLite databases; no R needed). Run by hand:

    apt-get install r-bioc-org.hs.eg.db r-bioc-go.db
    .venv/bin/python scripts/make_gene_data.py

human_gene_ids.tsv.gz: kind, identifier, current symbol; kind 'ensembl'
(an Ensembl gene that names one gene), 'entrez', or 'alias' (a previous
symbol or alias that names one gene and is no gene's current symbol).
go_bp/go_mf/go_cc.gmt.gz: GO terms with their human genes, annotations
propagated to every ancestor term, the term name as description, terms of
MIN_GENES to MAX_GENES genes. sources.json: versions, dates, licences,
counts and the SHA-256 of each file.
"""

import collections
import gzip
import hashlib
import json
import pathlib
import sqlite3

ORG = "/usr/lib/R/site-library/org.Hs.eg.db/extdata/org.Hs.eg.sqlite"
GO = "/usr/lib/R/site-library/GO.db/extdata/GO.sqlite"
OUT = pathlib.Path(__file__).resolve().parents[1] / "python" / "rsvelmo" / "data"
MIN_GENES, MAX_GENES = 5, 2000


def package_version(name: str) -> str:
    for line in pathlib.Path(f"/usr/lib/R/site-library/{name}/DESCRIPTION").read_text().splitlines():
        if line.startswith("Version:"):
            return line.split(":", 1)[1].strip()
    raise SystemExit(f"no version in {name}'s DESCRIPTION")


def write_gz(path: pathlib.Path, lines) -> str:
    data = "".join(lines).encode()
    # mtime=0: the same input gives the same bytes.
    path.write_bytes(gzip.compress(data, compresslevel=9, mtime=0))
    return hashlib.sha256(path.read_bytes()).hexdigest()


def main() -> None:
    org, go = sqlite3.connect(ORG), sqlite3.connect(GO)
    meta = dict(org.execute("select name, value from metadata"))
    symbol = dict(org.execute("select _id, symbol from gene_info"))
    current = set(symbol.values())
    rows = []
    for entrez, sym in org.execute("select g.gene_id, i.symbol from genes g join gene_info i using (_id)"):
        rows.append(("entrez", entrez, sym))
    ensembl = collections.defaultdict(set)
    for gene, ens in org.execute("select _id, ensembl_id from ensembl"):
        ensembl[ens].add(symbol[gene])
    rows += [("ensembl", e, next(iter(s))) for e, s in sorted(ensembl.items()) if len(s) == 1]
    alias = collections.defaultdict(set)
    for gene, name in org.execute("select _id, alias_symbol from alias"):
        alias[name].add(symbol[gene])
    rows += [("alias", a, next(iter(s))) for a, s in sorted(alias.items()) if len(s) == 1 and a not in current]
    files = {"human_gene_ids.tsv.gz": write_gz(OUT / "human_gene_ids.tsv.gz", (f"{k}\t{i}\t{s}\n" for k, i, s in rows))}
    counts = collections.Counter(k for k, _, _ in rows)
    collections_meta = {}
    terms = dict(go.execute("select go_id, term from go_term"))
    for ontology in ("bp", "mf", "cc"):
        genes = collections.defaultdict(set)
        for gene, term in org.execute(f"select _id, go_id from go_{ontology}_all"):
            genes[term].add(symbol[gene])
        kept = {t: sorted(g) for t, g in sorted(genes.items()) if MIN_GENES <= len(g) <= MAX_GENES and t in terms}
        name = f"go_{ontology}.gmt.gz"
        files[name] = write_gz(OUT / name, ("\t".join([t, terms[t], *g]) + "\n" for t, g in kept.items()))
        collections_meta[f"go_{ontology}"] = {
            "file": name,
            "title": {"bp": "biological process", "mf": "molecular function", "cc": "cellular component"}[ontology],
            "gene_sets": len(kept),
            "genes": len(set().union(*kept.values())),
            "sizes": [MIN_GENES, MAX_GENES],
        }
    sources = {
        "identifiers": {
            "file": "human_gene_ids.tsv.gz",
            "counts": dict(counts),
            "symbols": len(current),
            "source": f"org.Hs.eg.db {package_version('org.Hs.eg.db')} (Bioconductor, Debian r-bioc-org.hs.eg.db)",
            "entrez_gene_date": meta["EGSOURCEDATE"],
            "ensembl_date": meta["ENSOURCEDATE"],
            "licence": "Artistic-2.0 (org.Hs.eg.db); NCBI Gene and Ensembl data are freely available",
        },
        "collections": collections_meta,
        "gene_ontology": {
            "source": f"GO.db {package_version('GO.db')} and org.Hs.eg.db {package_version('org.Hs.eg.db')}",
            "release": meta["GOSOURCEDATE"],
            "annotations": meta["GOEGSOURCEDATE"],
            "licence": "CC BY 4.0 (Gene Ontology Consortium, geneontology.org)",
        },
        "sha256": files,
    }
    (OUT / "sources.json").write_text(json.dumps(sources, indent=2) + "\n")
    print(json.dumps(sources, indent=2))


if __name__ == "__main__":
    main()
