"""Host-package helpers: normalize_items, validate_file_path, cosine_similarity."""

import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from hostile import Boom, ListSub, hostile
from vesperkit.utils.embeddings import _interpreted_cosine_similarity, cosine_similarity
from vesperkit.utils.text import normalize_items, validate_file_path


class TestNormalizeItems:
    def test_strips_lowercases_and_drops_empty_and_non_str(self):
        assert normalize_items(["  Rust ", "rust", "", "   ", 3, None, "Go"]) == {"rust", "go"}

    @pytest.mark.parametrize("value", [None, "tags", ("a",), {"a"}, {"a": 1}, 0])
    def test_non_list_gives_empty_set(self, value):
        assert normalize_items(value) == set()

    def test_returns_a_new_set(self):
        assert type(normalize_items([])) is set


class TestValidateFilePath:
    def test_returns_path_unchanged(self):
        assert validate_file_path(" a/b.json ") == " a/b.json "

    @pytest.mark.parametrize("path", ["", "a\x00b"])
    def test_rejects_empty_and_nul(self, path):
        with pytest.raises(ValueError):
            validate_file_path(path)


class TestCosineSimilarity:
    @pytest.mark.parametrize(
        "a, b",
        [([], [1.0]), (None, [1.0]), ([1.0, 2.0], [1.0]), ([0.0, 0.0], [1.0, 1.0]), ([1.0], [])],
    )
    def test_zero_cases(self, a, b):
        assert cosine_similarity(a, b) == 0.0

    def test_cosine(self):
        a, b = [1.0, 2.0, 3.0], [-2.0, 0.5, 4.0]
        expected = sum(x * y for x, y in zip(a, b)) / (math.sqrt(14.0) * math.sqrt(20.25))
        assert cosine_similarity(a, b) == pytest.approx(expected, rel=1e-15)
        assert type(cosine_similarity(a, b)) is float

    def test_same_direction_is_one(self):
        assert cosine_similarity([3.0, 4.0], [6.0, 8.0]) == pytest.approx(1.0)


def outcome(fn, *args):
    """The result's bits (NaNs and signed zeros included), or the exception's type and text."""
    try:
        value = fn(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return type(exc), str(exc)
    return type(value), struct.pack("<d", value) if type(value) is float else value


components = st.one_of(st.floats(), st.floats(min_value=-1e-300, max_value=1e-300), st.sampled_from([0.0, -0.0, 1e308]),
                       st.integers(-3, 3))
plain = st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=1, max_size=40)


class TestNativeAndInterpretedHelpersAgree:
    @given(st.data())
    def test_same_result_bit_for_bit(self, data):
        a = data.draw(st.one_of(plain, st.lists(components, max_size=6)))
        same_width = st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=len(a), max_size=len(a))
        b = data.draw(st.one_of(same_width, st.lists(components, max_size=6), st.just(a)))
        for x, y in [(a, b), (b, a), (tuple(a), b), (a, ListSub(b))]:
            assert outcome(cosine_similarity, x, y) == outcome(_interpreted_cosine_similarity, x, y)

    @pytest.mark.parametrize("a, b", [
        ([1.0, 2.0], hostile("__len__")), (hostile("__bool__"), [1.0]), ([], hostile("__bool__")),
        ([1.0, hostile("__float__")], [1.0, 2.0]), ([1e-200, 1e-200], [1e-200, 1e-200]), (None, None),
        ([1.0, "x"], [1.0, 2.0]), ([float("inf"), 1.0], [1.0, 1.0]), ([1e200, 1e200], [1e200, 1e200]),
    ])
    def test_other_inputs_go_to_the_interpreted_helper(self, a, b):
        assert outcome(cosine_similarity, a, b) == outcome(_interpreted_cosine_similarity, a, b)
        assert outcome(cosine_similarity, a, b)[0] in (float, Boom, TypeError, ZeroDivisionError)

    def test_keywords(self):
        assert cosine_similarity(b=[1.0, 0.0], a=[1.0, 1.0]) == _interpreted_cosine_similarity([1.0, 1.0], [1.0, 0.0])
