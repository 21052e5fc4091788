"""Argument checks of the plain-Python registry modules, with the native modules' messages."""

from typing import Any


def type_error(arg: str, expected: str, value: Any) -> TypeError:
    return TypeError(f"Argument '{arg:.200}' has incorrect type (expected {expected:.200}, "
                     f"got {type(value).__name__:.200})")


def require(value: Any, arg: str, kind: type, optional: bool = False) -> None:
    """`value` must be exactly of type `kind` (or None when `optional`)."""
    if type(value) is not kind and not (optional and value is None):
        raise type_error(arg, kind.__name__, value)


def to_int(value: Any, arg: str) -> int:
    """An int unchanged, any other number truncated toward zero, as `KeyRegistry` converts."""
    if type(value) is int:
        return value
    kind = type(value)
    if hasattr(kind, "__int__") or hasattr(kind, "__index__"):
        return int(value)
    if hasattr(kind, "__float__"):
        return int(float(value))
    raise type_error(arg, "int", value)
