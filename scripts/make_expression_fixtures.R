# Expression matrices and sample labels as R writes them, for the tests of
# the expression and label readers (tests/python/test_expression_readers.py).
#   Rscript scripts/make_expression_fixtures.R tests/data/expression
# A small log-scale matrix of 24 genes x 6 samples (3 'KO', 3 'WT', the
# samples not sorted by class), values on a 1/1024 grid so that every writer
# prints them exactly; one missing cell; awkward gene names. truth.tsv holds
# every value as a C99 hex double, the reference of every reader.
args <- commandArgs(trailingOnly = TRUE)
out <- if (length(args)) args[1] else "tests/data/expression"
dir.create(out, showWarnings = FALSE, recursive = TRUE)
set.seed(20261208)
genes <- c("FOXA2", "HLA-A", "RP11-34P13.7", "MT-CO1", "NKX2-1", "GATA6", "SOX9", "KRT19",
           sprintf("GENE%02d", 9:23), "NA_CELL")
samples <- c("S1_KO", "S2_WT", "S3_KO", "S4_WT", "S5_WT", "S6_KO")
group <- c("KO", "WT", "KO", "WT", "WT", "KO")
m <- matrix(round(rnorm(length(genes) * length(samples), 6, 2) * 1024) / 1024,
            nrow = length(genes), dimnames = list(genes, samples))
m[1, group == "KO"] <- m[1, group == "KO"] + 3
m["NA_CELL", 4] <- NA
write.table(m, file.path(out, "matrix_tab_noquote.txt"), sep = "\t", quote = FALSE)  # header one field short
write.csv(m, file.path(out, "matrix_write_csv.csv"))                                  # "" first, quoted
write.table(m, file.path(out, "matrix_default.txt"))                                  # blanks, quotes
write.csv2(m, file.path(out, "matrix_csv2.csv"))                                      # ';' and decimal commas
gz <- gzfile(file.path(out, "matrix_tab_noquote.txt.gz"), "w")
write.table(m, gz, sep = "\t", quote = FALSE)
close(gz)
# GCT 1.3: an id column, two row annotations, two column annotations (as cmapR writes it).
rdesc <- data.frame(id = genes, symbol = genes, kind = ifelse(seq_along(genes) <= 8, "named", "numbered"))
cdesc <- data.frame(id = samples, group = group, batch = c("b1", "b1", "b2", "b2", "b3", "b3"))
gct <- file(file.path(out, "matrix_v13.gct"), "w")
writeLines(c("#1.3", paste(nrow(m), ncol(m), 2, 2, sep = "\t"),
             paste(c("id", "symbol", "kind", samples), collapse = "\t"),
             paste(c("group", "na", "na", cdesc$group), collapse = "\t"),
             paste(c("batch", "na", "na", cdesc$batch), collapse = "\t")), gct)
write.table(data.frame(rdesc, m, check.names = FALSE), gct, sep = "\t", quote = FALSE,
            row.names = FALSE, col.names = FALSE)
close(gct)
# GCT 1.2: name, description, samples.
gct <- file(file.path(out, "matrix_v12.gct"), "w")
writeLines(c("#1.2", paste(nrow(m), ncol(m), sep = "\t"), paste(c("NAME", "Description", samples), collapse = "\t")), gct)
write.table(data.frame(NAME = genes, Description = "na", m, check.names = FALSE), gct, sep = "\t",
            quote = FALSE, row.names = FALSE, col.names = FALSE)
close(gct)
# Probes: two probes of FOXA2 and of SOX9 under one symbol.
p <- rbind(m[1:8, ], FOXA2 = m[1, ] - 1, SOX9 = m[7, ] + 0.5)
write.table(p, file.path(out, "probes_tab_noquote.txt"), sep = "\t", quote = FALSE)
# Labels: CLS with class names, CLS with 0/1 numbers (0 = the first class named), a sample sheet.
writeLines(c("6 2 1", "# KO WT", paste(group, collapse = " ")), file.path(out, "labels_names.cls"))
writeLines(c("6 2 1", "# KO WT", paste(ifelse(group == "KO", 0, 1), collapse = " ")), file.path(out, "labels_01.cls"))
writeLines(c("6 2 1", "# KO WT", paste(ifelse(group == "KO", 1, 0), collapse = " ")), file.path(out, "labels_10.cls"))
sheet <- data.frame(sample = rev(samples), condition = rev(group), batch = rev(cdesc$batch))
write.csv(sheet, file.path(out, "sample_sheet.csv"), row.names = FALSE)
write.csv(sheet[-1, ], file.path(out, "sample_sheet_missing.csv"), row.names = FALSE)
write.csv(rbind(sheet, data.frame(sample = "S7_KO", condition = "KO", batch = "b4")),
          file.path(out, "sample_sheet_extra.csv"), row.names = FALSE)
sheet3 <- sheet
sheet3$condition[sheet3$sample == "S5_WT"] <- "HET"
write.csv(sheet3, file.path(out, "sample_sheet_three.csv"), row.names = FALSE)
# The reference: every value as a hex double (NA as NA).
hex <- matrix(ifelse(is.na(m), "NA", sprintf("%a", m)), nrow = nrow(m))
write.table(data.frame(gene = genes, hex), file.path(out, "truth.tsv"), sep = "\t", quote = FALSE,
            row.names = FALSE, col.names = c("gene", samples))
writeLines(c(R.version.string, paste("written", format(Sys.Date()))), file.path(out, "VERSIONS"))
