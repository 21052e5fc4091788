"""Text helpers used by the concept mesh and the key registry."""

from __future__ import annotations

from typing import Any


def normalize_items(items: Any) -> set[str]:
    """The set of the ``str`` items of a list, stripped and lower-cased.

    Empty items are dropped and items that are not ``str`` are skipped. ``None``
    or any value that is not a list gives an empty set.
    """
    if not isinstance(items, list):
        return set()
    result: set[str] = set()
    for item in items:
        if isinstance(item, str):
            cleaned = item.strip().lower()
            if cleaned:
                result.add(cleaned)
    return result


def validate_file_path(path: str) -> str:
    """Return ``path`` unchanged; ``ValueError`` for an empty path or one holding NUL."""
    if not isinstance(path, str):
        raise TypeError(f"path must be a str, not {type(path).__name__}")
    if not path:
        raise ValueError("File path must not be empty")
    if "\x00" in path:
        raise ValueError("File path must not contain NUL characters")
    return path
