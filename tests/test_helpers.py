"""Host-package helpers: normalize_items, validate_file_path, cosine_similarity."""

import math

import pytest

from vesperkit.utils.embeddings import cosine_similarity
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
