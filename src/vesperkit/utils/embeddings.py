"""Embedding helpers used by the concept mesh."""

from __future__ import annotations

import math
from typing import Any


def _interpreted_cosine_similarity(a: Any, b: Any) -> float:
    """Cosine similarity of two vectors.

    0.0 when either is empty (or otherwise falsy), when their widths differ, or
    when either has zero norm.
    """
    if not a or not b or len(a) != len(b):
        return 0.0
    norm_a = math.hypot(*a)
    norm_b = math.hypot(*b)
    if norm_a == 0.0 or norm_b == 0.0:
        return 0.0
    return math.sumprod(a, b) / (norm_a * norm_b)


try:
    # Two lists of floats are computed natively with the same arithmetic (the
    # same result, bit for bit); any other input is handed to the function above.
    from ._embeddings import cosine_similarity
except ImportError:  # pragma: no cover - the extension is part of every build
    cosine_similarity = _interpreted_cosine_similarity
