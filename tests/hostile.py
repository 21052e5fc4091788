"""Hostile values shared by the hardening tests: objects whose protocol
methods raise, subclasses of the built-in containers, self-referencing and
deeply nested containers, and the fuzzing settings."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

FUZZ = settings(max_examples=int(os.environ.get("VESPERKIT_FUZZ_EXAMPLES", "60")), deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                       HealthCheck.data_too_large])


class Boom(Exception):
    """Raised by the protocol methods of the hostile objects."""


def _raiser(name):
    def method(self, *args, **kwargs):
        raise Boom(name)

    method.__name__ = name
    return method


def hostile(*dunders, base=object):
    """An instance of a new class whose listed special methods raise Boom
    (the class itself when `base` is given, for subclasses of built-ins)."""
    cls = type("Hostile" + "".join(d.strip("_").title() for d in dunders), (base,),
               {d: _raiser(d) for d in dunders})
    return cls() if base is object else cls


class HugeLen:
    """A sequence claiming 2**62 items: nothing sized by it can be allocated."""

    def __len__(self):
        return 2 ** 62

    def __getitem__(self, index):
        raise IndexError(index)


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class SetSub(set):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


def self_list():
    x = []
    x.append(x)
    return x


def self_dict():
    x = {}
    x["self"] = x
    return x


def deep_list(depth=5000):
    x = []
    for _ in range(depth):
        x = [x]
    return x


# Query texts that must reach a full-text search as words, never as its syntax.
QUERY_TEXTS = ["", "   ", "'", "''", "\\", "a'b\\'c", "!&|<->():*", "'OPS-4127':* & !", "(((", "NULL; DROP TABLE x; --",
               "x\x00y", "\ud7ff日本語 テキスト", "w" * 3000, "ops " * 20000]
