# Writes the result tables of DESeq2, limma-voom and edgeR, and a Seurat
# FindMarkers-shaped table, the ways people save them, into tests/data/tables/.
# Run by hand (not by make test): Rscript scripts/make_table_fixtures.R
# Needs Debian's r-base-core, r-bioc-deseq2, r-bioc-limma and r-bioc-edger.
# Beside each tool's files, <tool>_truth.tsv holds the genes and scores as
# the same writer prints them (15 significant digits), row by row.
suppressPackageStartupMessages({
  library(DESeq2)
  library(limma)
  library(edgeR)
})
out <- "tests/data/tables"
set.seed(20261207)
n_genes <- 300
genes <- sprintf("GENE%03d", seq_len(n_genes))
# Names that trip up readers: dashes, dots, an orf name, a mitochondrial gene.
genes[1:6] <- c("HLA-A", "NKX2-1", "C1orf112", "MT-CO1", "RP11-34P13.7", "FOXA2")
group <- factor(rep(c("wt", "ko"), each = 3), levels = c("wt", "ko"))
mu <- rgamma(n_genes, shape = 2, scale = 150)
fold <- ifelse(runif(n_genes) < 0.15, 2^rnorm(n_genes, 0, 1.5), 1)
counts <- sapply(seq_along(group), function(j) {
  rnbinom(n_genes, mu = mu * ifelse(group[j] == "ko", fold, 1), size = 10)
})
counts[10, ] <- 0  # a gene never seen: DESeq2 gives it NA statistics
dimnames(counts) <- list(genes, paste0("s", seq_along(group)))

dds <- DESeq(DESeqDataSetFromMatrix(counts, data.frame(group), ~group), quiet = TRUE)
deseq2 <- as.data.frame(results(dds))

design <- model.matrix(~group)
y <- DGEList(counts[rowSums(counts) > 0, ])
y <- calcNormFactors(y)
limma <- topTable(eBayes(lmFit(voom(y, design), design)), coef = 2, number = Inf)

y <- estimateDisp(y, design)
edger <- as.data.frame(topTags(glmQLFTest(glmQLFit(y, design), coef = 2), n = Inf))

# FindMarkers' columns at its default thresholds: only genes with
# |avg_log2FC| above 0.1, as a marker list, not a whole ranking.
lfc <- rnorm(2000, 0, 1)
markers <- data.frame(p_val = 10^-abs(lfc * 8), avg_log2FC = lfc, pct.1 = round(runif(2000), 3),
                      pct.2 = round(runif(2000), 3))
markers$p_val_adj <- pmin(1, markers$p_val * 2000)
rownames(markers) <- sprintf("MK%04d", 1:2000)
markers <- markers[abs(markers$avg_log2FC) > 0.1, ]
markers <- markers[order(markers$p_val), ]

write_all <- function(res, tool, score) {
  write.csv(res, file.path(out, paste0(tool, "_write_csv.csv")))
  write.table(res, file.path(out, paste0(tool, "_tab_noquote.txt")), sep = "\t", quote = FALSE)
  write.table(res, file.path(out, paste0(tool, "_default.txt")))
  write.table(res, file.path(out, paste0(tool, "_colnames_na.tsv")), sep = "\t", col.names = NA)
  write.csv2(res, file.path(out, paste0(tool, "_csv2.csv")))
  truth <- data.frame(gene = rownames(res), score = res[[score]])
  write.table(truth, file.path(out, paste0(tool, "_truth.tsv")), sep = "\t", quote = FALSE, row.names = FALSE)
}
write_all(deseq2, "deseq2", "stat")
write_all(limma, "limma", "t")
write_all(edger, "edger", "F")
write.csv(markers, file.path(out, "seurat_findmarkers.csv"))
write.table(data.frame(gene = rownames(markers), score = markers$avg_log2FC),
            file.path(out, "seurat_truth.tsv"), sep = "\t", quote = FALSE, row.names = FALSE)

# limma's table annotated with symbols, as after a join with an annotation
# package: some probes have no symbol (NA) or an empty one.
annotated <- data.frame(SYMBOL = rownames(limma), limma, row.names = sprintf("probe%03d", seq_len(nrow(limma))))
annotated$SYMBOL[c(3, 7)] <- NA
annotated$SYMBOL[12] <- ""
write.csv(annotated, file.path(out, "limma_symbols_na.csv"))
cat(sprintf("R %s, DESeq2 %s, limma %s, edgeR %s\n", getRversion(), packageVersion("DESeq2"),
            packageVersion("limma"), packageVersion("edgeR")), file = file.path(out, "VERSIONS"))
