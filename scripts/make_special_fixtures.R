# Reference values of trigamma and the Beta quantile function from R itself,
# for tests/cpp/special_test.cpp. Run by hand from the repository root:
#
#     Rscript scripts/make_special_fixtures.R
#
# Writes tests/data/special_r.tsv: one row per value, the function, its
# arguments and R's result, all as C99 hex doubles (sprintf("%a")), so that
# nothing is lost in decimal.
hex <- function(x) sprintf("%a", x)

# trigamma at the arguments the engine passes: count + 1 (1, 2, ...), the
# permutation counts + 1 (1001, 10001), half-integers of the sample-size
# term (s + 1) / 2, and a spread of others down to 1e-3 and up to 1e8.
tri_x <- c(1, 2, 3, 10, 51, 52, 101, 102, 1001, 10001, 1e6 + 1,
           0.5, 1.5, 2.5, 51.5, 1e-3, 0.1, 7.25, 123.456, 1e8)
tri <- data.frame(fn = "trigamma", a = hex(tri_x), b = hex(0), c = hex(0),
                  value = hex(trigamma(tri_x)))

# qbeta at the confidence ends the permutation stage uses: x successes of m
# permutations give Beta(x, m - x + 1) at 0.025 and Beta(x + 1, m - x) at 0.975.
m <- c(1000, 1000, 1000, 1000, 10000, 100, 20)
x <- c(1, 5, 500, 999, 3, 50, 10)
qb <- rbind(
  data.frame(fn = "qbeta", a = hex(0.025), b = hex(x), c = hex(m - x + 1),
             value = hex(qbeta(0.025, x, m - x + 1))),
  data.frame(fn = "qbeta", a = hex(0.975), b = hex(x + 1), c = hex(m - x),
             value = hex(qbeta(0.975, x + 1, m - x))),
  data.frame(fn = "qbeta", a = hex(c(0.5, 0.1, 0.9)), b = hex(c(2, 0.5, 3.5)),
             c = hex(c(3, 0.5, 1.25)),
             value = hex(qbeta(c(0.5, 0.1, 0.9), c(2, 0.5, 3.5), c(3, 0.5, 1.25)))))

out <- rbind(tri, qb)
con <- file("tests/data/special_r.tsv", "w")
writeLines(sprintf("# %s; written by scripts/make_special_fixtures.R", R.version.string), con)
write.table(out, con, sep = "\t", quote = FALSE, row.names = FALSE)
close(con)
