"""rsvelmo: the Python companion of the rsvelmopy enrichment engine."""

from rsvelmopy import run_gsea_py

__all__ = ["run_gsea_py"]
__version__ = "0.1.0"
