from typing import TypedDict

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
