"""A self-contained HTML page drawing a concept-mesh export (``ConceptMesh.to_dict()``)."""

import os
from typing import Any

__all__ = ["render_html", "render_page"]

WIDTH: float
HEIGHT: float
MARGIN: float
ITERATIONS: int
PALETTE: tuple[str, ...]
OTHER_COLOUR: str
UNTAGGED_COLOUR: str
LABELS: int

def render_page(view: dict[str, Any], *, title: str | None = None, path_url: str | None = None) -> str:
    """The HTML text of the page for `view`; with `path_url`, clicking two sessions draws the strongest chain."""

def render_html(view: dict[str, Any], path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Write the page for `view` (a ConceptMesh.to_dict() result) to `path`; bad input raises before writing."""
