# Writes the expected over-representation results into tests/data/ora/, from
# R's own hypergeometric tail, Fisher test and Benjamini-Hochberg adjustment.
# Run by hand from the repository's root (not by make test):
#     Rscript scripts/make_ora_fixtures.R
# Needs only r-base-core (R 4.2). Three families of cases:
#   table: the up/down/both lists of the committed DESeq2 and limma tables
#          (tests/data/tables/*_write_csv.csv; the simulation has no gene with
#          padj < 0.05, so the lists cut the raw p-value: pvalue < 0.2 and
#          |log2 fold change| >= 0.5), universe = every gene with a p-value,
#          against sets drawn over the tables' genes (table_sets.gmt);
#   go:    lists with a theme drawn from a subset of
#          examples/go_bp_2022_15_500.gmt (go_sets.gmt), universe = the
#          subset's genes (the default universe), nested sets, p < 1e-100;
#   tail:  universe TG00001..TG20000, one list of 1500 genes, sets engineered
#          for p-values from 1e-100 down through the subnormals to 0, overlap 0
#          and overlap = size (tail_sets.gmt).
# Doubles are written with sprintf("%a") (exact); `fisher_estimate` is
# fisher.test()'s printed estimate (its root search stops near 1e-4), and
# `odds_ratio` the same root solved to double precision (uniroot in log(psi)
# with tol = 1e-14 on the exact conditional mean from dhyper(log = TRUE)).
out <- "tests/data/ora"
dir.create(out, showWarnings = FALSE)
set.seed(20261208)

hex <- function(x) ifelse(is.infinite(x), "inf", sprintf("%a", x))

precise_or <- function(k, K, N, n) {
  lo <- max(0, n + K - N)
  hi <- min(K, n)
  if (k == lo) return(0)
  if (k == hi) return(Inf)
  x <- lo:hi
  ld <- dhyper(x, K, N - K, n, log = TRUE)
  d <- x - k
  f <- function(t) {
    lw <- ld + d * t
    w <- exp(lw - max(lw))
    sum(d * w) / sum(w)
  }
  t0 <- log((k + 0.5) * (N - K - n + k + 0.5) / ((K - k + 0.5) * (n - k + 0.5)))
  r <- uniroot(f, c(t0 - 1, t0 + 1), extendInt = "upX", tol = 1e-14, maxiter = 10000)
  exp(r$root)
}

write_gmt <- function(sets, path) {
  lines <- vapply(names(sets), function(s) paste(c(s, sets[[s]]$description, sets[[s]]$genes), collapse = "\t"), "")
  writeLines(lines, path)
}

# One case: every list against every set with min_size..max_size genes in the universe.
analyse <- function(case, sets, universe, lists, min_size, max_size) {
  N <- length(universe)
  rows <- list()
  for (l in names(lists)) {
    listed <- unique(lists[[l]])
    listed <- listed[listed %in% universe]
    n <- length(listed)
    res <- do.call(rbind, lapply(names(sets), function(s) {
      members <- intersect(sets[[s]]$genes, universe)
      K <- length(members)
      if (K < min_size || K > max_size) return(NULL)
      hits <- intersect(listed, members)
      k <- length(hits)
      table <- matrix(c(k, n - k, K - k, N - K - n + k), 2)
      data.frame(
        case = case, list = l, pathway = s, size = K, overlap = k, list_size = n, universe_size = N,
        pval = phyper(k - 1, K, N - K, n, lower.tail = FALSE),
        odds_ratio = precise_or(k, K, N, n),
        fisher_estimate = unname(fisher.test(table, alternative = "greater")$estimate),
        genes = paste(hits, collapse = "/"), stringsAsFactors = FALSE
      )
    }))
    res$padj <- p.adjust(res$pval, method = "BH")
    rows[[l]] <- res
  }
  do.call(rbind, rows)
}

# ---- table: DESeq2 and limma lists against sets over the tables' genes
read_table <- function(file) read.csv(file.path("tests/data/tables", file), row.names = 1, check.names = FALSE)
tables <- list(
  deseq2 = list(file = "deseq2_write_csv.csv", score = "log2FoldChange", p = "pvalue"),
  limma = list(file = "limma_write_csv.csv", score = "logFC", p = "P.Value")
)
cut <- 0.2
min_abs <- 0.5
table_lists <- list()
table_universe <- list()
for (t in names(tables)) {
  d <- read_table(tables[[t]]$file)
  p <- d[[tables[[t]]$p]]
  s <- d[[tables[[t]]$score]]
  sig <- !is.na(p) & p < cut
  up <- rownames(d)[sig & s >= min_abs]
  down <- rownames(d)[sig & s <= -min_abs]
  table_lists[[t]] <- list(up = up, down = down, both = rownames(d)[sig & (s >= min_abs | s <= -min_abs)])
  table_universe[[t]] <- rownames(d)[!is.na(p)]
}
all_genes <- rownames(read_table("deseq2_write_csv.csv"))
outside <- sprintf("NOTTESTED%02d", 1:12)
tsets <- list()
for (i in 1:30) {
  size <- sample(5:62, 1)
  tsets[[sprintf("RANDOM_%02d", i)]] <- list(
    description = sprintf("random set %d", i),
    genes = c(sample(all_genes, size), sample(outside, sample(0:3, 1)))
  )
}
themed <- function(core, extra, name, what) {
  tsets[[name]] <<- list(description = what, genes = c(core, sample(setdiff(all_genes, core), extra)))
}
themed(sample(table_lists$deseq2$up, 12), 8, "DESEQ2_UP_HALF", "12 DESeq2 up genes and 8 others")
themed(sample(table_lists$deseq2$down, 20), 25, "DESEQ2_DOWN_MOST", "20 DESeq2 down genes and 25 others")
themed(sample(table_lists$limma$up, 9), 30, "LIMMA_UP_SOME", "9 limma up genes and 30 others")
themed(sample(table_lists$limma$down, 15), 5, "LIMMA_DOWN_CORE", "15 limma down genes and 5 others")
themed(table_lists$deseq2$up, 0, "DESEQ2_UP_ALL", "exactly the DESeq2 up list (overlap = size)")
themed(table_lists$limma$down, 12, "LIMMA_DOWN_ALL", "the whole limma down list and 12 others (overlap = list)")
listed_any <- unique(unlist(table_lists))
tsets[["NONE_LISTED"]] <- list(description = "no listed gene (overlap 0)", genes = sample(setdiff(all_genes, listed_any), 40))
tsets[["TOO_SMALL"]] <- list(description = "4 genes in the universe", genes = c(sample(all_genes, 4), outside[1:5]))
tsets[["TOO_LARGE"]] <- list(description = "70 genes", genes = sample(all_genes, 70))
tsets[["WITH_UNTESTED"]] <- list(description = "holds the gene without counts", genes = c("GENE010", sample(all_genes, 9)))
write_gmt(tsets, file.path(out, "table_sets.gmt"))
expected <- list()
for (t in names(tables)) {
  expected[[t]] <- analyse(t, tsets, table_universe[[t]], table_lists[[t]], 5, 60)
}

# ---- go: themed lists against a subset of the GO BP example collection
go_lines <- strsplit(readLines("examples/go_bp_2022_15_500.gmt"), "\t")
go <- setNames(lapply(go_lines, function(f) list(description = f[2], genes = f[-(1:2)])), vapply(go_lines, `[`, "", 1))
theme <- c("GO:0002250", "GO:0007059")  # adaptive immune response; chromosome segregation
related <- names(go)[vapply(go, function(s) any(vapply(theme, function(t) length(intersect(s$genes, go[[t]]$genes)) >= 20, TRUE)), TRUE)]
pick <- unique(c(theme, sample(related, min(40, length(related))), sample(names(go), 100)))
gsets <- go[pick]
write_gmt(gsets, file.path(out, "go_sets.gmt"))
go_universe <- unique(unlist(lapply(gsets, `[[`, "genes")))
theme_genes <- unique(unlist(lapply(theme, function(t) go[[t]]$genes)))
go_lists <- list(
  themed = c(sample(theme_genes, round(0.6 * length(theme_genes))), sample(go_universe, 150), sprintf("NOTAGENE%d", 1:5)),
  random = sample(go_universe, 80)
)
expected$go <- analyse("go", gsets, go_universe, go_lists, 15, 500)

# ---- tail: engineered p-values below 1e-100, into the subnormals and to 0
N <- 20000
tail_universe <- sprintf("TG%05d", seq_len(N))
n <- 1500
in_list <- tail_universe[1:n]
off_list <- tail_universe[(n + 1):N]
tail_lists <- list(list = c(in_list, "OUTSIDE1", "OUTSIDE2"))
xsets <- list()
closest_k <- function(K, target) {
  k <- 0:min(K, n)
  lp <- phyper(k - 1, K, N - K, n, lower.tail = FALSE, log.p = TRUE) / log(10)
  k[which.min(abs(lp - target))]
}
# A set of 180 reaches about 1e-207 at most (all listed); one of 420 reaches the subnormals and 0.
engineered <- rbind(
  data.frame(target = c(-100, -150, -200), K = 180),
  data.frame(target = c(-100, -150, -200, -250, -300, -306, -307.5, -310, -315, -320, -322, -323.3, -330), K = 420)
)
for (i in seq_len(nrow(engineered))) {
  K <- engineered$K[i]
  k <- closest_k(K, engineered$target[i])
  xsets[[sprintf("TAIL_%d_K%d", i, K)]] <- list(
    description = sprintf("about 1e%g", engineered$target[i]),
    genes = c(sample(in_list, k), sample(off_list, K - k))
  )
}
xsets[["ALL_LISTED_60"]] <- list(description = "60 listed genes (overlap = size)", genes = sample(in_list, 60))
xsets[["ALL_LISTED_400"]] <- list(description = "400 listed genes (overlap = size, p underflows)", genes = sample(in_list, 400))
xsets[["NONE_LISTED_400"]] <- list(description = "400 genes, none listed", genes = sample(off_list, 400))
xsets[["ONE_LISTED"]] <- list(description = "1 listed of 300", genes = c(sample(in_list, 1), sample(off_list, 299)))
write_gmt(xsets, file.path(out, "tail_sets.gmt"))
expected$tail <- analyse("tail", xsets, tail_universe, tail_lists, 1, 1000)

# ---- the lists as given (before the universe) and the expected columns
list_rows <- do.call(rbind, c(
  lapply(names(tables), function(t) do.call(rbind, lapply(names(table_lists[[t]]), function(l) {
    g <- table_lists[[t]][[l]]
    if (length(g)) data.frame(case = t, list = l, gene = g) else NULL
  }))),
  lapply(names(go_lists), function(l) data.frame(case = "go", list = l, gene = go_lists[[l]])),
  list(data.frame(case = "tail", list = "list", gene = tail_lists$list))
))
write.table(list_rows, file.path(out, "lists.tsv"), sep = "\t", quote = FALSE, row.names = FALSE)
e <- do.call(rbind, expected)
e$pval <- hex(e$pval)
e$padj <- hex(e$padj)
e$odds_ratio <- hex(e$odds_ratio)
e$fisher_estimate <- sprintf("%.17g", e$fisher_estimate)
write.table(e, file.path(out, "expected.tsv"), sep = "\t", quote = FALSE, row.names = FALSE)
writeLines(paste(R.version.string), file.path(out, "VERSIONS"))
