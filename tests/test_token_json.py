"""The token file text: the native writer against json.dumps(..., indent=2, ensure_ascii=False)."""

import collections
import decimal
import enum
import json
import logging
import math
import random
import struct
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesperkit.auth.key_registry as kr
from vesperkit.auth.key_registry import KeyRegistry, Token

LOGGER = "vesperkit.auth.key_registry"

# Text without lone surrogates, with the characters that need escaping well represented.
awkward = st.sampled_from(list('\x00\x01\x08\t\n\x0b\x0c\r\x1f "\\/\x7f\x80\xa0é\u2028\u2029\ufeff漢\U0001f600'))
text = st.one_of(
    st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=20),
    st.text(alphabet=awkward, max_size=20),
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**63) - 5, max_value=2**63 + 5),
    st.integers(min_value=-(10**200), max_value=10**200),
    st.floats(),
    st.sampled_from([0.0, -0.0, 1e16, 1e-5, 1e22, 5e-324, 1.7976931348623157e308, float("nan"), float("inf"),
                     float("-inf")]),
    text,
)
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(text, children, max_size=4),
    max_leaves=30,
)


@st.composite
def tokens(draw):
    result = {}
    for i in range(draw(st.integers(0, 3))):
        key = draw(text)
        result[key] = Token(
            token_id=draw(text),
            name=draw(text),
            hashed_key=draw(text),
            created_at=draw(text),
            expires_at=draw(st.none() | text),
            last_used=draw(st.none() | text),
            permissions=draw(st.lists(text, max_size=3)),
            rate_limit=draw(st.integers(min_value=-(10**30), max_value=10**30)),
            is_active=draw(st.booleans()),
            metadata=draw(st.dictionaries(text, values, max_size=4)),
        )
    return result


def containers(value):
    """`value` and every list and dict inside it."""
    found, stack = [], [value]
    while stack:
        v = stack.pop()
        if type(v) in (list, dict):
            found.append(v)
            stack.extend(v.values() if type(v) is dict else v)
    return found


FIELD_VALUES = {"name": text, "last_used": st.none() | text, "is_active": st.booleans(), "rate_limit": st.integers(),
                "permissions": st.lists(text, max_size=3), "metadata": st.dictionaries(text, values, max_size=3)}


def change_in_place(data, registry):
    """One change a host may make between two saves: a field, a container inside one, or the registry's order."""
    tokens = registry.tokens
    if not tokens:
        tokens[data.draw(text)] = Token("t", "n", "h", "c")
        return
    key = data.draw(st.sampled_from(list(tokens)))
    token = tokens[key]
    kind = data.draw(st.sampled_from(["field", "list", "dict", "move", "rekey"]))
    lists = [c for c in containers(token.metadata) + [token.permissions] if type(c) is list]
    dicts = [c for c in containers(token.metadata) if type(c) is dict]
    if kind == "field":
        name = data.draw(st.sampled_from(sorted(FIELD_VALUES)))
        setattr(token, name, data.draw(FIELD_VALUES[name]))
    elif kind == "list":
        target = data.draw(st.sampled_from(lists))
        op = data.draw(st.sampled_from(["append", "replace", "swap", "pop"])) if target else "append"
        if op == "append":
            target.append(data.draw(values))
        elif op == "replace":
            target[data.draw(st.integers(0, len(target) - 1))] = data.draw(values)
        elif op == "swap":
            target.reverse()
        else:
            target.pop(0)
    elif kind == "dict":
        target = data.draw(st.sampled_from(dicts))
        op = data.draw(st.sampled_from(["add", "replace", "move-to-end", "pop"])) if target else "add"
        k = data.draw(text) if op == "add" else data.draw(st.sampled_from(list(target)))
        if op in ("add", "replace"):
            target[k] = data.draw(values)
        else:
            v = target.pop(k)
            if op == "move-to-end":
                target[k] = v
    elif kind == "move":
        tokens[key] = tokens.pop(key)
    else:
        tokens[data.draw(text)] = tokens.pop(key)


def expected_text(registry):
    return json.dumps({k: t.to_dict() for k, t in registry.tokens.items()}, indent=2, ensure_ascii=False)


@pytest.fixture(scope="module")
def registry(tmp_path_factory):
    return KeyRegistry(str(tmp_path_factory.mktemp("json") / "tokens.json"))


def json_dumps_calls(action):
    """How many times json.dumps runs during `action()`."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is json.dumps.__code__:
            calls.append(frame)

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return len(calls)


class TestIdentity:
    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(tokens())
    def test_file_bytes_equal_json_dumps(self, registry, toks):
        registry.tokens = toks
        assert json_dumps_calls(registry._save_tokens) == 0  # rendered natively
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")

    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(tokens(), st.data())
    def test_changes_made_in_place_between_saves_show_in_the_file(self, registry, toks, data):
        registry.tokens = toks
        registry._save_tokens()
        for _ in range(data.draw(st.integers(1, 6))):
            change_in_place(data, registry)
            assert json_dumps_calls(registry._save_tokens) == 0
            assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")

    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(tokens(), st.data())
    def test_a_token_made_unwritable_keeps_its_last_written_form(self, registry, toks, data):
        def writable(value):
            try:
                return json.dumps(value) is not None
            except TypeError:
                return False

        registry.tokens = toks
        last = []  # (token, key, form) of each member written, found again by identity as the registry does

        def expected_bytes():
            nonlocal last
            kept, members = {}, []
            for k, t in registry.tokens.items():
                form = t.to_dict()
                if not writable(form):  # its members that cannot be written stay as last written
                    old = next((f for tk, kk, f in last if tk is t and kk is k), None)
                    if old is None:
                        continue
                    form = {name: v if writable(v) else old[name] for name, v in form.items()}
                kept[k] = form
                members.append((t, k, form))
            last = members
            return json.dumps(kept, indent=2, ensure_ascii=False).encode("utf-8")

        for _ in range(data.draw(st.integers(1, 6))):
            change_in_place(data, registry)
            if data.draw(st.booleans()):
                data.draw(st.sampled_from(list(registry.tokens.values()))).metadata["unwritable"] = {1}
            registry._save_tokens()
            assert Path(registry.tokens_file).read_bytes() == expected_bytes()

    # caplog is cleared for each input.
    @settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(st.text(alphabet=st.characters(categories=("Cs",)), min_size=1, max_size=3), text, text)
    def test_lone_surrogates_leave_the_token_out_like_the_utf8_encoder(self, registry, caplog, surrogates, before, after):
        registry.tokens = {}
        registry._save_tokens()
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"s": before + surrogates + after})}
        content = expected_text(registry)  # json itself writes them through
        with pytest.raises(UnicodeEncodeError) as expected:
            content.encode("utf-8")
        caplog.clear()
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            registry._save_tokens()
        (rec,) = [r for r in caplog.records if r.name == LOGGER]
        assert rec.msg == "Error saving tokens: %s"
        assert type(rec.args[0]) is ValueError and str(rec.args[0]) == f"Token 't' cannot be stored: {expected.value}"
        assert Path(registry.tokens_file).read_bytes() == b"{}"  # never written before: left out

    def test_floats_of_every_magnitude(self, registry):
        rng = random.Random(2024)
        floats = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
        floats += [math.ldexp(1.0, e) for e in range(-1074, 1024)]
        floats += [float(f"{m}e{e}") for m in ("1", "1.5", "9.999999999999999") for e in range(-324, 309)]
        floats += [0.1, 1 / 3, 2.0**53 + 2, 1e15 + 0.5, 123456789012345680.0, 0.0001, 0.00009999]
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"floats": floats})}
        assert json_dumps_calls(registry._save_tokens) == 0
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")

    def test_long_strings(self, registry):
        long_text = ("é\u2028\"\n漢😀x" * 20000) + "\x00"
        registry.tokens = {"t": Token("t", long_text, "h", "c", metadata={long_text: long_text[::-1]})}
        registry._save_tokens()
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")

    def test_deep_nesting(self, registry):
        deep = []
        for _ in range(300):
            deep = [deep, {"k": deep}] if len(str(deep)) < 2000 else [deep]
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"deep": deep})}
        registry._save_tokens()
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Number(float):
    pass


class TestOtherTypesGoThroughJson:
    @pytest.mark.parametrize(
        "value",
        [
            Text("sub"),
            Colour.RED,
            Number(1.5),
            (1, "two"),
            {1: "int key", 2.5: "float key", True: "bool key", None: "none key"},
            collections.OrderedDict(b=1, a=2),
            collections.defaultdict(list, a=[1]),
            {"ok": [1, {"nested": Text("x")}]},
        ],
        ids=["str-subclass", "int-enum", "float-subclass", "tuple", "non-str-keys", "ordered-dict",
             "defaultdict", "nested-subclass"],
    )
    def test_same_bytes_as_json(self, registry, value):
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"v": value})}
        assert json_dumps_calls(registry._save_tokens) == 1
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")

    @pytest.mark.parametrize("value", [decimal.Decimal("1.5"), b"bytes", {"a", "b"}, object()])
    def test_unencodable_values_report_json_error(self, registry, caplog, value):
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"v": value})}
        with pytest.raises(TypeError) as expected:
            expected_text(registry)
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            registry._save_tokens()
        (rec,) = [r for r in caplog.records if r.name == LOGGER]
        assert type(rec.args[0]) is TypeError and str(rec.args[0]) == f"Token 't' cannot be stored: {expected.value}"

    def test_non_str_registry_keys(self, registry):
        registry.tokens = {7: Token("t", "n", "h", "c")}
        registry._save_tokens()
        assert Path(registry.tokens_file).read_bytes() == expected_text(registry).encode("utf-8")


class TestNativeWriterIsUsed:
    def test_plain_values_do_not_call_json(self, registry):
        registry.tokens = {"t": Token("t", "n", "h", "c", metadata={"a": [1, 2.5, None, "é"]})}
        assert json_dumps_calls(registry._save_tokens) == 0

    def test_replaced_json_dumps_is_honoured(self, registry, monkeypatch):
        registry.tokens = {"t": Token("t", "n", "h", "c")}
        monkeypatch.setattr(kr.json, "dumps", lambda data, **kw: "replaced")
        registry._save_tokens()
        assert Path(registry.tokens_file).read_bytes() == b"replaced"

    def test_replaced_to_dict_is_honoured(self, registry, monkeypatch):
        registry.tokens = {"t": Token("t", "n", "h", "c")}
        monkeypatch.setattr(Token, "to_dict", lambda self: {"only": self.name})
        registry._save_tokens()
        assert json.loads(Path(registry.tokens_file).read_bytes()) == {"t": {"only": "n"}}

    def test_replaced_asdict_is_honoured(self, registry, monkeypatch):
        registry.tokens = {"t": Token("t", "n", "h", "c")}
        monkeypatch.setattr(kr, "asdict", lambda obj: {"via": "asdict"})
        registry._save_tokens()
        assert json.loads(Path(registry.tokens_file).read_bytes()) == {"t": {"via": "asdict"}}

    def test_token_subclass_uses_its_to_dict(self, registry):
        class Extra(Token):
            def to_dict(self):
                return dict(super().to_dict(), extra=True)

        registry.tokens = {"t": Extra("t", "n", "h", "c")}
        registry._save_tokens()
        assert json.loads(Path(registry.tokens_file).read_bytes())["t"]["extra"] is True
