import os
from typing import Callable, Iterable, Mapping, Sequence, TypedDict

class GseaResult(TypedDict):
    pathway: str
    size: int
    es: float
    nes: float | None
    pval: float
    padj: float | None
    log2err: float | None
    leading_edge: list[str]

def run_gsea_py(
    ranks: dict[str, float],
    gmt_path: str,
    nPermSimple: int = 1000,
    seed: int = 42,
    nproc: int = 0,
    minSize: int = 1,
    maxSize: int | None = None,
    eps: float = 1e-50,
    scoreType: str = "std",
    gseaParam: float = 1.0,
    mode: str = "velmo",
    nperm: int | None = None,
    sampleSize: int = 101,
    gpu: bool = False,
) -> list[GseaResult]: ...

class RankingWarning(UserWarning): ...

class GeneSetResult(GseaResult):
    description: str | None

def run_gsea(
    ranks: dict[str, float] | tuple[Sequence[str], Sequence[float]],
    gene_sets: str | os.PathLike[str] | Mapping[str, Iterable[str]],
    *,
    mode: str = "velmo",
    nperm: int | None = None,
    nperm_simple: int = 1000,
    seed: int = 42,
    threads: int = 0,
    min_size: int = 1,
    max_size: int | None = None,
    eps: float = 1e-50,
    score_type: str = "std",
    gsea_param: float = 1.0,
    sample_size: int = 101,
    progress: Callable[[str, int, int], object] | None = None,
    refine_all: bool = False,
    diagnostics: bool = True,
    stable_calls: float | None = None,
) -> list[GeneSetResult]: ...

def read_gmt(path: str | os.PathLike[str]) -> list[tuple[str, str | None, list[str]]]: ...

class SampleScores(TypedDict):
    scores: bytearray
    shape: tuple[int, int]
    sizes: list[int]
    scored: list[bool]
    constant_genes: list[int]
    constant_dropped: bool

def score_samples(
    matrix: object,
    gene_sets: Sequence[Sequence[int]],
    *,
    method: str = "gsva",
    kcdf: str = "gaussian",
    tau: float | None = None,
    mx_diff: bool = True,
    abs_ranking: bool = False,
    ssgsea_norm: bool = True,
    min_size: int = 1,
    max_size: int | None = None,
    chunk_samples: int = 0,
    threads: int = 0,
) -> SampleScores: ...
