# Writes the per-sample gene-set score fixtures under tests/data/gsva/: the
# scores Bioconductor GSVA 1.46 computes for every method and kernel on two
# inputs, with the matrices and gene sets they were computed from.
#
#   Rscript scripts/make_gsva_fixtures.R     (from the repository's root; ~1 min)
#
# Inputs:
#   bk   decoupleR's bulk example (extdata/bk_data.rds, only read: 11,093 genes
#        x 6 samples of log2-scale normalised values with 585 NAs). Genes with
#        an NA are left out; stand-in counts are round(2^x - 1) (for the Poisson
#        kernel) and log2(CPM + 1) of those counts is the log-scale matrix of
#        every other method. Gene sets: 200 GO BP sets drawn (seed 39) from
#        examples/go_bp_2022_15_500.gmt, one set of genes not in the matrix and
#        one of two genes.
#   sim  400 simulated genes x 10 samples (seed 20261208): log-scale values
#        rounded to one decimal (ties within samples), counts with ties, gene 7
#        constant in both; 40 sets of 3 to 60 genes, one of genes not in the
#        matrix and one of two genes.
# Every value is written as a C99 hex float, so the tests read R's exact bits.
suppressPackageStartupMessages(library(GSVA))
out_dir <- file.path("tests", "data", "gsva")
dir.create(out_dir, showWarnings = FALSE, recursive = TRUE)

hex <- function(x) ifelse(is.na(x), "NaN", sprintf("%a", x))

write_matrix <- function(m, first, path) {
  con <- gzfile(path, "w")
  writeLines(paste(c(first, colnames(m)), collapse = "\t"), con)
  body <- apply(m, 2, hex)
  if (is.null(dim(body))) body <- matrix(body, nrow = 1)
  writeLines(paste(rownames(m), apply(body, 1, paste, collapse = "\t"), sep = "\t"), con)
  close(con)
}

write_gmt <- function(sets, path) {
  con <- gzfile(path, "w")
  writeLines(vapply(names(sets), function(n) paste(c(n, "", sets[[n]]), collapse = "\t"), ""), con)
  close(con)
}

read_gmt <- function(path) {
  lines <- strsplit(readLines(path), "\t")
  sets <- lapply(lines, function(f) f[-(1:2)])
  names(sets) <- vapply(lines, `[`, "", 1)
  sets
}

# --- bk -------------------------------------------------------------------
bk <- readRDS(system.file("extdata", "bk_data.rds", package = "decoupleR"))$counts
bk_log <- as.matrix(bk[, -1])
rownames(bk_log) <- bk$gene
bk_log <- bk_log[stats::complete.cases(bk_log), ]
bk_counts <- round(2^bk_log - 1)
stopifnot(all(bk_counts >= 0))
cpm <- t(t(bk_counts) / colSums(bk_counts)) * 1e6
bk_logcpm <- log2(cpm + 1)

go <- read_gmt(file.path("examples", "go_bp_2022_15_500.gmt"))
set.seed(39)
bk_sets <- go[sort(sample(length(go), 200))]
bk_sets[["NOT_IN_MATRIX"]] <- c("NOT_A_GENE_1", "NOT_A_GENE_2", "NOT_A_GENE_3")
bk_sets[["TWO_GENES"]] <- rownames(bk_log)[c(11, 4000)]

# --- sim ------------------------------------------------------------------
set.seed(20261208)
n_genes <- 400
n_samples <- 10
genes <- sprintf("G%03d", seq_len(n_genes))
samples <- sprintf("S%02d", seq_len(n_samples))
base <- rnorm(n_genes, 7, 2)
sim_log <- round(matrix(rnorm(n_genes * n_samples, base, 1), n_genes, dimnames = list(genes, samples)), 1)
sim_log[7, ] <- 5
sim_counts <- matrix(rpois(n_genes * n_samples, exp(rnorm(n_genes, 2.5, 1.2))), n_genes,
                     dimnames = list(genes, samples))
sim_counts[7, ] <- 3
sim_sets <- lapply(seq_len(40), function(i) genes[sample(n_genes, sample(3:60, 1))])
names(sim_sets) <- sprintf("SET%02d", seq_along(sim_sets))
sim_sets[["SET03"]] <- unique(c(genes[7], sim_sets[["SET03"]]))  # holds the constant gene
sim_sets[["NOT_IN_MATRIX"]] <- c("X1", "X2")
sim_sets[["TWO_GENES"]] <- genes[c(20, 21)]

# --- scores ---------------------------------------------------------------
inputs <- list(
  bk = list(log = bk_logcpm, counts = bk_counts, sets = bk_sets),
  sim = list(log = sim_log, counts = sim_counts, sets = sim_sets)
)
variants <- list(
  gsva_gaussian = list(method = "gsva", kcdf = "Gaussian", data = "log"),
  gsva_gaussian_max = list(method = "gsva", kcdf = "Gaussian", data = "log", mx.diff = FALSE),
  gsva_gaussian_abs = list(method = "gsva", kcdf = "Gaussian", data = "log", abs.ranking = TRUE),
  gsva_poisson = list(method = "gsva", kcdf = "Poisson", data = "counts"),
  gsva_none = list(method = "gsva", kcdf = "none", data = "log"),
  ssgsea = list(method = "ssgsea", kcdf = "Gaussian", data = "log"),
  ssgsea_raw = list(method = "ssgsea", kcdf = "Gaussian", data = "log", ssgsea.norm = FALSE),
  zscore = list(method = "zscore", kcdf = "Gaussian", data = "log"),
  plage = list(method = "plage", kcdf = "Gaussian", data = "log")
)

cases <- character()
for (input in names(inputs)) {
  x <- inputs[[input]]
  write_matrix(x$log, "gene", file.path(out_dir, paste0(input, "_log.tsv.gz")))
  write_matrix(x$counts, "gene", file.path(out_dir, paste0(input, "_counts.tsv.gz")))
  write_gmt(x$sets, file.path(out_dir, paste0(input, ".gmt.gz")))
  for (name in names(variants)) {
    v <- variants[[name]]
    mx_diff <- if (is.null(v$mx.diff)) TRUE else v$mx.diff
    abs_ranking <- if (is.null(v$abs.ranking)) FALSE else v$abs.ranking
    norm <- if (is.null(v$ssgsea.norm)) TRUE else v$ssgsea.norm
    es <- suppressWarnings(gsva(x[[v$data]], x$sets, method = v$method, kcdf = v$kcdf, mx.diff = mx_diff,
                                abs.ranking = abs_ranking, ssgsea.norm = norm, min.sz = 1, max.sz = Inf,
                                parallel.sz = 1L, verbose = FALSE))
    file <- paste0(input, "_", name, ".tsv.gz")
    write_matrix(es, "set", file.path(out_dir, file))
    cases <- c(cases, paste(input, name, paste0(input, "_", v$data, ".tsv.gz"), paste0(input, ".gmt.gz"),
                            v$method, tolower(v$kcdf), mx_diff, abs_ranking, norm, file, sep = "\t"))
  }
}
writeLines(c(paste("input", "variant", "matrix", "gene_sets", "method", "kcdf", "mx_diff", "abs_ranking",
                   "ssgsea_norm", "scores", sep = "\t"), cases), file.path(out_dir, "cases.tsv"))
cat(sprintf("GSVA %s, R %s\n", packageVersion("GSVA"), getRversion()))
