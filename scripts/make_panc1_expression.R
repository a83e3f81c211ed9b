# The bundled expression example: PANC1 cells, FOXA2 knock-out (3) versus
# wild type (3), from decoupleR's bulk example data (extdata/bk_data.rds of
# Debian's r-bioc-decoupler; only its data is read). Its `counts` are
# log2-scale normalised values with missing cells, not counts: the genes with
# a missing cell are left out, the values are taken back to a linear scale as
# stand-in counts, round(2^x - 1), and written as log2(CPM + 1).
#   Rscript scripts/make_panc1_expression.R examples
args <- commandArgs(trailingOnly = TRUE)
out <- if (length(args)) args[1] else "examples"
bk <- readRDS(system.file("extdata", "bk_data.rds", package = "decoupleR"))
x <- as.data.frame(bk$counts)
genes <- x$gene
m <- as.matrix(x[, -1])
keep <- rowSums(is.na(m)) == 0
counts <- round(2^m[keep, ] - 1)
cpm <- t(t(counts) / colSums(counts)) * 1e6
logcpm <- log2(cpm + 1)
rownames(logcpm) <- genes[keep]
samples <- colnames(logcpm)
cls <- sub("^PANC1\\.(.*)\\.Rep[0-9]+$", "\\1", samples)
gct <- gzfile(file.path(out, "panc1_foxa2_log2cpm.gct.gz"), "w")
writeLines(c("#1.2", paste(nrow(logcpm), ncol(logcpm), sep = "\t"),
             paste(c("NAME", "Description", samples), collapse = "\t")), gct)
write.table(data.frame(NAME = rownames(logcpm), Description = "na", logcpm, check.names = FALSE),
            gct, sep = "\t", quote = FALSE, row.names = FALSE, col.names = FALSE)
close(gct)
classes <- c("FOXA2KO", "WT")  # class A first: positive scores are higher in the knock-out
writeLines(c(paste(length(cls), 2, 1), paste("#", paste(classes, collapse = " ")), paste(cls, collapse = " ")),
           file.path(out, "panc1_foxa2.cls"))
cat(sprintf("%d genes (%d with a missing cell left out) x %d samples\n", sum(keep), sum(!keep), ncol(logcpm)))
