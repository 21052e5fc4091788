"""Robustness of the encryption, key registry and vector vault modules.

Arbitrary and hostile arguments, callbacks that misbehave or re-enter, replaced
collaborators (helpers, clocks, the driver), reference and memory leaks under
repetition. Each operation must end in a Python exception or a result, never a crash, and
leave its object usable: a registry still saves and its file still parses, a
backend's lock is free and nothing half-written reaches the database.
"""

from __future__ import annotations

import contextlib
import datetime as real_datetime
import decimal
import fractions
import gc
import json
import logging
import os
import re
import sys
import tempfile
import threading
import time
import types
from pathlib import Path

import pytest
from cryptography.fernet import Fernet, InvalidToken
from hypothesis import given
from hypothesis import strategies as st

import leakcheck
from fakes import FakeConnection, FakeError, install_driver
from hostile import (FUZZ, Boom, BytesSub, DictSub, FloatSub, IntSub, ListSub, SetSub, StrSub, deep_list, hostile,
                     self_dict, self_list)
import vesperkit.auth.key_registry as kr
import vesperkit.memory.backends.vector_vault as vv
import vesperkit.utils.encryption as encryption
from vesperkit.auth.key_registry import KeyRegistry, Token
from vesperkit.memory.backends.vector_vault import PostgresVectorBackend
from vesperkit.utils.encryption import MAGIC_HEADER, FileEncryptor

KEY = Fernet.generate_key().decode()
ARG_TYPE = re.compile(r"Argument '\w+' has incorrect type \(expected \w+, got [\w.]+\)\Z")


# ================================================================ hostile values


HOSTILE_DUNDERS = ["__eq__", "__hash__", "__float__", "__index__", "__int__", "__len__", "__bool__",
                   "__iter__", "__str__", "__repr__", "__format__", "__fspath__", "__getitem__",
                   "__contains__", "__lt__", "__sub__"]


def deep_dict(depth=5000):
    x = {}
    for _ in range(depth):
        x = {"k": x}
    return x


def raising_generator():
    yield 1.0
    raise Boom("generator")


# Factories, so that each example gets fresh mutable values.
NASTY_FACTORIES = [
    lambda: None, lambda: True, lambda: False, lambda: 0, lambda: -1, lambda: 2 ** 63, lambda: -(2 ** 63) - 1,
    lambda: 10 ** 100, lambda: 10 ** 5000, lambda: float("nan"), lambda: float("inf"), lambda: float("-inf"),
    lambda: -0.0, lambda: 1e308, lambda: complex(1, 2), lambda: decimal.Decimal("NaN"),
    lambda: fractions.Fraction(7, 2), lambda: "", lambda: "\ud800", lambda: "vsk_\udc80", lambda: "a\x00b",
    lambda: "é" * 1000, lambda: "vsk_" + "A" * 43, lambda: b"", lambda: b"\xff\xfe", lambda: MAGIC_HEADER,
    lambda: MAGIC_HEADER + b"garbage", lambda: bytearray(b"x"), lambda: memoryview(b"xy"), lambda: (),
    lambda: (1, "a"), lambda: frozenset({"a"}), lambda: [], lambda: [1.0, 2.0, 3.0], lambda: {},
    lambda: {"id": "x"}, lambda: {"a"}, lambda: StrSub("s"), lambda: DictSub(id="x"), lambda: ListSub([1.0]),
    lambda: SetSub({"a"}), lambda: BytesSub(b"VSK_ENC_V1\nx"), lambda: IntSub(3), lambda: FloatSub(0.5),
    self_list, self_dict, deep_list, deep_dict, raising_generator, lambda: object(), lambda: type,
    lambda: (lambda: None), lambda: Ellipsis, lambda: NotImplemented, lambda: Path("/nonexistent/x"),
    *[(lambda d=d: hostile(d)) for d in HOSTILE_DUNDERS],
    lambda: hostile("__eq__", "__hash__"), lambda: hostile("__len__", "__iter__", "__getitem__"),
    lambda: hostile("__eq__", "__hash__", base=str)("x"), lambda: hostile("__len__", base=list)([1.0]),
    lambda: hostile("__getitem__", "get", base=dict)(id="x"), lambda: hostile("__float__", base=float)(1.0),
    lambda: hostile("__index__", "__int__", base=int)(2),
]

lone_surrogates = st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3)
nasty = st.one_of(
    st.sampled_from(NASTY_FACTORIES).map(lambda make: make()),
    st.integers(), st.floats(), st.text(max_size=30), lone_surrogates, st.binary(max_size=30),
    st.lists(st.floats(), max_size=4), st.dictionaries(st.text(max_size=5), st.integers(), max_size=3),
)


def call_guarded(fn, *args, **kwargs):
    """`fn(*args, **kwargs)`: its result, or the Exception it raised after checking that it is a clear one."""
    try:
        return fn(*args, **kwargs)
    except RecursionError as exc:
        return exc
    except Exception as exc:
        check_clear(exc)
        return exc


def check_clear(exc):
    # SystemError is the interpreter's sign of a C API call that broke its rules.
    assert not isinstance(exc, SystemError), repr(exc)
    if isinstance(exc, TypeError) and str(exc).startswith("Argument '"):
        assert ARG_TYPE.match(str(exc)), str(exc)
    if not isinstance(exc, (Boom, KeyError, StopIteration, InvalidToken)):
        assert str(exc), f"{type(exc).__name__} without a message"


def draw_arguments(draw, names, valid):
    """Positional and keyword arguments for a function with parameters `names`: hostile or valid values."""
    value = st.one_of(nasty, valid) if valid is not None else nasty
    n_positional = draw(st.integers(0, len(names) + 1))
    args = [draw(value) for _ in range(n_positional)]
    kwargs = {}
    for name in names[n_positional:]:
        if draw(st.booleans()):
            kwargs[name] = draw(value)
    if draw(st.integers(0, 9)) == 0:
        kwargs[draw(st.sampled_from(["bogus", "self", "\ud800", *names]))] = draw(value)
    return args, kwargs


# ================================================================ encryption


ENCRYPTOR_METHODS = {
    "encrypt": ["data"], "decrypt": ["token"], "encrypt_text": ["text"], "decrypt_text": ["data"],
    "generate_key": [], "is_encrypted": ["data"],
}


def encryption_valid():
    enc = FileEncryptor(KEY)
    return st.sampled_from([b"data", enc.encrypt(b"data"), enc.encrypt_text("text"), "text", KEY])


class TestEncryptionArguments:
    @FUZZ
    @given(data=st.data())
    def test_constructor_with_arbitrary_arguments(self, data, monkeypatch):
        env = data.draw(st.none() | st.sampled_from([KEY, "", "\ud800", "not a key"]))
        if env is None or "\ud800" in env:
            monkeypatch.delenv("VESPERKIT_ENCRYPTION_KEY", raising=False)
        else:
            monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", env)
        args, kwargs = draw_arguments(data.draw, ["key"], st.sampled_from([KEY, None, ""]))
        result = call_guarded(FileEncryptor, *args, **kwargs)
        if isinstance(result, FileEncryptor):
            assert result.decrypt_text(result.encrypt_text("x")) == "x"

    @FUZZ
    @given(data=st.data())
    def test_methods_with_arbitrary_arguments(self, data):
        enc = FileEncryptor(KEY)
        name = data.draw(st.sampled_from(sorted(ENCRYPTOR_METHODS)))
        args, kwargs = draw_arguments(data.draw, ENCRYPTOR_METHODS[name], encryption_valid())
        call_guarded(getattr(enc, name), *args, **kwargs)
        call_guarded(getattr(FileEncryptor, name), *args, **kwargs)
        assert vars(enc).keys() == {"_fernet"}
        assert enc.decrypt_text(enc.encrypt_text("still works")) == "still works"


class TestEncryptionCollaborators:
    @FUZZ
    @given(header=nasty)
    def test_replaced_magic_header(self, header, monkeypatch):
        enc = FileEncryptor(KEY)
        monkeypatch.setattr(encryption, "MAGIC_HEADER", header)
        for data in [b"", b"VSK_ENC_V1\n", enc.encrypt(b"x"), b"VSK_ENC_V1\n" + enc.encrypt(b"x")]:
            call_guarded(FileEncryptor.is_encrypted, data)
            call_guarded(enc.decrypt_text, data)
        call_guarded(enc.encrypt_text, "x")
        monkeypatch.undo()
        assert enc.decrypt_text(enc.encrypt_text("x")) == "x"

    @FUZZ
    @given(result=nasty, raises=st.booleans())
    def test_cipher_returning_anything(self, result, raises):
        class Cipher:
            def encrypt(self, data):
                if raises:
                    raise Boom("encrypt")
                return result

            decrypt = encrypt

        enc = FileEncryptor(KEY)
        enc._fernet = Cipher()
        for method, arg in [("encrypt", b"x"), ("decrypt", b"x"), ("encrypt_text", "x"),
                            ("decrypt_text", MAGIC_HEADER + b"x"), ("decrypt_text", b"x")]:
            call_guarded(getattr(enc, method), arg)

    def test_fresh_token_is_not_reused_while_another_reference_holds_it(self):
        kept = []

        class Keeping(FileEncryptor):
            def encrypt(self, data):
                token = super().encrypt(data)
                kept.append(token)
                return token

        enc = Keeping(KEY)
        data = enc.encrypt_text("x")
        assert data == MAGIC_HEADER + kept[0] and not kept[0].startswith(MAGIC_HEADER)

    @FUZZ
    @given(fernet=nasty, available=nasty, os_value=nasty)
    def test_replaced_module_globals(self, fernet, available, os_value, monkeypatch):
        monkeypatch.setattr(encryption, "Fernet", fernet)
        monkeypatch.setattr(encryption, "ENCRYPTION_AVAILABLE", available)
        call_guarded(FileEncryptor, KEY)
        call_guarded(FileEncryptor.generate_key)
        monkeypatch.setattr(encryption, "os", types.SimpleNamespace(getenv=lambda name: os_value))
        call_guarded(FileEncryptor)
        monkeypatch.undo()
        assert FileEncryptor(KEY).decrypt(FileEncryptor(KEY).encrypt(b"x")) == b"x"


# ================================================================ tokens


TOKEN_FIELDS = ["token_id", "name", "hashed_key", "created_at", "expires_at", "last_used", "permissions",
                "rate_limit", "is_active", "metadata"]


def plain_token(**overrides):
    values = dict(token_id="tok_0123456789abcdef", name="n", hashed_key="0" * 64, created_at="2024-01-02T03:04:05")
    values.update(overrides)
    return Token(**values)


class TestTokenArguments:
    @FUZZ
    @given(data=st.data())
    def test_methods_of_a_token_with_arbitrary_fields(self, data):
        fields = {name: data.draw(nasty) for name in TOKEN_FIELDS if data.draw(st.booleans())}
        token = plain_token(**fields)
        if data.draw(st.booleans()):
            token._request_timestamps = data.draw(nasty)
        for method in ["is_expired", "is_rate_limited", "record_request", "to_dict"]:
            call_guarded(getattr(token, method))
        args, kwargs = draw_arguments(data.draw, ["permission"], st.sampled_from(["read", "admin"]))
        call_guarded(token.has_permission, *args, **kwargs)
        call_guarded(repr, token)

    @FUZZ
    @given(data=st.data())
    def test_from_dict_with_arbitrary_data(self, data):
        base = plain_token().to_dict()
        mapping = data.draw(st.one_of(
            nasty,
            st.dictionaries(st.one_of(st.sampled_from([*TOKEN_FIELDS, "_request_timestamps"]), nasty.filter(
                lambda v: _hashable(v))), nasty, max_size=6).map(lambda d: {**base, **d}),
        ))
        result = call_guarded(Token.from_dict, mapping)
        if isinstance(result, Token):
            assert result._request_timestamps == []

    def test_from_dict_key_whose_comparison_mutates_the_data(self):
        data = plain_token().to_dict()

        class Sneaky(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                data.clear()
                return str.__eq__(self, other)

        data[Sneaky("extra")] = 1
        with pytest.raises(TypeError):
            Token.from_dict(data)

    def test_window_whose_comparison_mutates_it(self, monkeypatch):
        token = plain_token(rate_limit=5)

        class Now(float):
            def __sub__(self, other):
                token._request_timestamps.clear()
                return float(self) - other

        monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=lambda: Now(1000.0)))
        token._request_timestamps = [1.0, 2.0, 999.0]
        assert token.is_rate_limited() is False
        token.rate_limit = 0
        token._request_timestamps = [1.0, 2.0, 3.0, 999.0]
        token.record_request()
        assert isinstance(token._request_timestamps, list)


def _hashable(value):
    try:
        hash(value)
    except Exception:
        return False
    return True


# ================================================================ the registry


def registry_bytes(registry):
    """What the token file must hold for the registry's tokens (before any encryption)."""
    data = {k: t.to_dict() for k, t in registry.tokens.items()}
    return json.dumps(data, indent=2, ensure_ascii=False).encode("utf-8")


def check_registry(registry, path, key=None):
    """The file parses; saving writes exactly the tokens when they can be written at all."""
    path = Path(path)
    if path.exists():
        before = path.read_bytes()
        reloaded = KeyRegistry(str(path), key)  # raises on a damaged file
        if key is None:
            json.loads(before.decode("utf-8"))
        else:
            assert FileEncryptor.is_encrypted(before) or before == b""
        del reloaded
    try:
        expected = registry_bytes(registry)
    except Exception:
        expected = None  # tokens that cannot be written: a save must fail without touching the file
    old = path.read_bytes() if path.exists() else None
    outcome = call_guarded(registry._save_tokens)
    if expected is None:
        assert (path.read_bytes() if path.exists() else None) == old
        return
    assert outcome is None
    written = path.read_bytes()
    plain = FileEncryptor(key).decrypt_text(written).encode("utf-8") if key else written
    assert plain == expected
    assert list(KeyRegistry(str(path), key).tokens) == list(registry.tokens)


REGISTRY_METHODS = {
    "create_token": ["name", "permissions", "expires_days", "rate_limit", "metadata"],
    "validate_token": ["api_key"],
    "revoke_token": ["token_id"],
    "delete_token": ["token_id"],
    "list_tokens": ["include_inactive"],
    "get_token": ["token_id"],
    "update_token": ["token_id", "name", "permissions", "rate_limit", "metadata"],
    "regenerate_key": ["token_id"],
    "_hash_key": ["api_key"],
    "_generate_key": [],
    "_generate_token_id": [],
    "_load_tokens": [],
    "_save_tokens": [],
}


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory() as d:
        yield Path(d)


class TestRegistryArguments:
    @FUZZ
    @given(data=st.data(), encrypted=st.booleans())
    def test_arbitrary_calls_leave_a_registry_that_saves_and_a_file_that_parses(self, data, encrypted, caplog):
        key = KEY if encrypted else None
        with tempfile.TemporaryDirectory() as d, caplog.at_level(logging.CRITICAL):
            path = os.path.join(d, "tokens.json")
            registry = KeyRegistry(path, key)
            api_key, token = registry.create_token("seed", rate_limit=2)
            valid = st.sampled_from([api_key, token.token_id, "name", ["read"], {"m": 1}, 3, None, True])
            for _ in range(data.draw(st.integers(1, 4))):
                name = data.draw(st.sampled_from(sorted(REGISTRY_METHODS)))
                args, kwargs = draw_arguments(data.draw, REGISTRY_METHODS[name], valid)
                call_guarded(getattr(registry, name), *args, **kwargs)
                check_registry(registry, path, key)

    @FUZZ
    @given(data=st.data(), encrypted=st.booleans())
    def test_tokens_holding_anything_save_exactly_or_leave_the_file(self, data, encrypted, workdir, caplog):
        key = KEY if encrypted else None
        path = workdir / "tokens.json"
        path.unlink(missing_ok=True)
        registry = KeyRegistry(str(path), key)
        _, token = registry.create_token("n")
        for name in data.draw(st.lists(st.sampled_from([*TOKEN_FIELDS, "_request_timestamps"]), max_size=4)):
            setattr(token, name, data.draw(nasty))
        if data.draw(st.booleans()):
            registry.tokens[data.draw(st.one_of(st.text(max_size=3), lone_surrogates))] = data.draw(
                st.one_of(nasty, st.just(token)))
        with caplog.at_level(logging.CRITICAL):
            check_registry(registry, path, key)

    @FUZZ
    @given(args=st.lists(nasty, max_size=3), kwargs=st.dictionaries(
        st.sampled_from(["tokens_file", "encryption_key", "other"]), nasty, max_size=2))
    def test_constructor_with_arbitrary_arguments(self, args, kwargs, workdir, monkeypatch):
        monkeypatch.chdir(workdir)
        call_guarded(KeyRegistry, *args, **kwargs)


class TestRegistryCallbacks:
    @pytest.fixture
    def registry(self, workdir):
        return KeyRegistry(str(workdir / "tokens.json"))

    def test_to_dict_that_mutates_the_tokens_while_a_save_iterates(self, registry, workdir):
        class Greedy(Token):
            def to_dict(self):
                registry.tokens[f"tok_{len(registry.tokens)}"] = plain_token()
                return super().to_dict()

        api_key, token = registry.create_token("n")
        registry.tokens["greedy"] = Greedy.from_dict(token.to_dict())
        assert registry.revoke_token(token.token_id) is True
        # The file holds the tokens as they stood when the save began.
        saved = json.loads((workdir / "tokens.json").read_bytes())
        assert list(saved) == [token.token_id, "greedy"] and saved[token.token_id]["is_active"] is False
        del registry.tokens["greedy"]
        check_registry(registry, workdir / "tokens.json")

    @pytest.mark.parametrize("name", ["hashed_key", "metadata", "to_dict"])
    def test_instance_attribute_key_that_empties_the_tokens_while_a_token_is_read(self, registry, workdir, name):
        class Colliding:
            def __hash__(self):
                return hash(name)

            def __eq__(self, other):
                registry.tokens.clear()
                gc.collect()
                return False

        api_key, token = registry.create_token("n")
        registry.create_token("m")
        vars(token)[Colliding()] = 1
        call_guarded(registry.validate_token, api_key)
        call_guarded(registry._save_tokens)
        check_registry(registry, workdir / "tokens.json")

    def test_hash_comparison_that_empties_the_tokens_while_validation_scans(self, registry, workdir):
        class Clearing(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                registry.tokens.clear()
                return False

        api_key, token = registry.create_token("first")
        for i in range(3):
            registry.create_token(f"other {i}")
        token.hashed_key = Clearing(token.hashed_key)
        for value in list(registry.tokens.values())[1:]:
            value.hashed_key = Clearing(value.hashed_key)
        assert registry.validate_token(api_key) is None
        assert registry.tokens == {}
        check_registry(registry, workdir / "tokens.json")

    @pytest.mark.parametrize("method", ["revoke_token", "delete_token", "get_token", "update_token",
                                        "regenerate_key"])
    def test_token_id_comparison_that_mutates_the_tokens(self, registry, workdir, method):
        api_key, token = registry.create_token("n")

        class Sneaky(str):
            def __hash__(self):
                return hash(token.token_id)

            def __eq__(self, other):
                if not fired:
                    fired.append(True)
                    registry.tokens.pop(token.token_id, None)
                    gc.collect()
                return False

        fired = [True]
        registry.tokens[Sneaky("other")] = plain_token()
        fired.clear()
        registry.tokens[token.token_id] = token
        call_guarded(getattr(registry, method), token.token_id)
        assert token.token_id not in registry.tokens or registry.tokens[token.token_id] is token
        call_guarded(registry._save_tokens)
        json.loads((workdir / "tokens.json").read_text("utf-8"))

    @pytest.mark.parametrize("method", ["is_active", "is_expired", "is_rate_limited", "record_request"])
    def test_token_checks_that_delete_the_token_during_validation(self, registry, workdir, method):
        api_key, token = registry.create_token("n")

        class Deleting(Token):
            pass

        def deleting(self, *args):
            registry.tokens.pop(self.token_id, None)
            gc.collect()
            return True if method == "is_active" else False if method != "record_request" else None

        setattr(Deleting, method, property(deleting, lambda self, value: None) if method == "is_active" else deleting)
        replacement = Deleting.from_dict(token.to_dict())
        registry.tokens[token.token_id] = replacement
        del token
        result = registry.validate_token(api_key)
        assert result is None or result is replacement
        check_registry(registry, workdir / "tokens.json")

    def test_metadata_changed_by_another_thread_during_saves(self, registry, workdir):
        api_key, token = registry.create_token("n", metadata={"start": 0})
        stop = threading.Event()
        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        errors = []

        def mutate():
            i = 0
            while not stop.is_set():
                i += 1
                token.metadata[f"k{i % 50}"] = [i, {"nested": "x" * (i % 7)}, float(i)]
                if i % 3 == 0:
                    token.metadata.pop(f"k{(i + 25) % 50}", None)
                if i % 11 == 0:
                    token.metadata = {"replaced": i}

        worker = threading.Thread(target=mutate)
        worker.start()
        try:
            for _ in range(300):
                try:
                    assert registry.validate_token(api_key) is token
                except RuntimeError as exc:  # a dict changing size under the json module
                    errors.append(exc)
                json.loads((workdir / "tokens.json").read_text("utf-8"))
        finally:
            stop.set()
            worker.join()
            sys.setswitchinterval(old_interval)
        assert all("changed size during iteration" in str(e) for e in errors)
        check_registry(registry, workdir / "tokens.json")

    def test_metadata_with_values_only_json_can_write_changed_by_another_thread(self, registry, workdir):
        api_key, token = registry.create_token("n", metadata={"t": (1, 2)})
        stop = threading.Event()
        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)

        def mutate():
            i = 0
            while not stop.is_set():
                i += 1
                token.metadata[f"k{i % 20}"] = (i,)
                token.metadata.pop(f"k{(i + 10) % 20}", None)

        worker = threading.Thread(target=mutate)
        worker.start()
        try:
            for _ in range(200):
                with contextlib.suppress(RuntimeError):
                    registry.validate_token(api_key)
                json.loads((workdir / "tokens.json").read_text("utf-8"))
        finally:
            stop.set()
            worker.join()
            sys.setswitchinterval(old_interval)
        check_registry(registry, workdir / "tokens.json")

    @FUZZ
    @given(result=nasty, reenter=st.booleans())
    def test_validate_file_path_returning_anything(self, result, reenter, workdir, monkeypatch):
        monkeypatch.chdir(workdir)

        def validate(path):
            if reenter:
                KeyRegistry(path + ".inner").create_token("inner")
            return result

        monkeypatch.setattr(kr, "validate_file_path", validate)
        registry = call_guarded(KeyRegistry, "tokens.json")
        if isinstance(registry, KeyRegistry):
            call_guarded(registry.create_token, "n")
            if isinstance(registry.tokens_file, Path) and registry.tokens_file.exists():
                json.loads(registry.tokens_file.read_text("utf-8"))

    @FUZZ
    @given(encrypted=nasty, decrypted=nasty, prefix=nasty)
    def test_encryptor_returning_anything(self, encrypted, decrypted, prefix, workdir, monkeypatch, caplog):
        class Encryptor:
            def __init__(self, key):
                pass

            @staticmethod
            def is_encrypted(data):
                return prefix

            def encrypt_text(self, text):
                return encrypted

            def decrypt_text(self, data):
                return decrypted

        path = workdir / "tokens.json"
        path.unlink(missing_ok=True)
        plain = KeyRegistry(str(path))
        plain.create_token("first")
        before = path.read_bytes()
        monkeypatch.setattr(kr, "FileEncryptor", Encryptor)
        with caplog.at_level(logging.CRITICAL):
            registry = call_guarded(KeyRegistry, str(path), KEY)
            if isinstance(registry, KeyRegistry):
                call_guarded(registry.create_token, "second")
                call_guarded(registry.validate_token, "vsk_x")
        written = path.read_bytes()
        if written != before:
            assert written == bytes(memoryview(encrypted))  # exactly what the encryptor produced

    @FUZZ
    @given(value=nasty)
    def test_clock_returning_anything(self, value, workdir, monkeypatch):
        registry = KeyRegistry(str(workdir / "tokens.json"))
        api_key, token = registry.create_token("n", rate_limit=3)
        monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=lambda: value))
        for _ in range(4):
            call_guarded(registry.validate_token, api_key)
        monkeypatch.undo()
        token._request_timestamps = []
        assert registry.validate_token(api_key) is token
        check_registry(registry, workdir / "tokens.json")

    @FUZZ
    @given(now=nasty, parsed=nasty)
    def test_datetime_returning_anything(self, now, parsed, workdir, monkeypatch):
        registry = KeyRegistry(str(workdir / "tokens.json"))
        api_key, token = registry.create_token("n", expires_days=1)
        fake = types.SimpleNamespace(datetime=types.SimpleNamespace(now=lambda: now, fromisoformat=lambda s: parsed),
                                     timedelta=real_datetime.timedelta)
        monkeypatch.setattr(kr, "datetime", fake)
        call_guarded(registry.validate_token, api_key)
        call_guarded(registry.create_token, "m", expires_days=2)
        call_guarded(token.is_expired)
        monkeypatch.undo()
        check_registry(registry, workdir / "tokens.json")

    @pytest.mark.parametrize("target", ["monotonic", "now", "validate_file_path", "encrypt_text"])
    def test_collaborators_that_reenter_the_registry(self, target, workdir, monkeypatch, caplog):
        path = workdir / "tokens.json"
        registry = KeyRegistry(str(path), KEY if target == "encrypt_text" else None)
        api_key, token = registry.create_token("n", rate_limit=1000)
        depth = []

        def reenter():
            depth.append(1)
            if len(depth) < 50:
                registry.validate_token(api_key)
                registry.create_token(f"inner {len(depth)}")

        if target == "monotonic":
            monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=lambda: reenter() or time.monotonic()))
        elif target == "now":
            real = real_datetime.datetime

            class Now(real):
                @classmethod
                def now(cls, tz=None):
                    reenter()
                    return real.now()

            monkeypatch.setattr(kr, "datetime", types.SimpleNamespace(datetime=Now, timedelta=real_datetime.timedelta))
        elif target == "validate_file_path":
            monkeypatch.setattr(kr, "validate_file_path", lambda p: reenter() or p)
            KeyRegistry(str(path))
        else:
            real_encrypt = FileEncryptor.encrypt_text
            monkeypatch.setattr(FileEncryptor, "encrypt_text", lambda self, t: reenter() or real_encrypt(self, t))
        with caplog.at_level(logging.CRITICAL):
            call_guarded(registry.validate_token, api_key)
            call_guarded(registry.create_token, "outer")
        monkeypatch.undo()
        check_registry(registry, path, KEY if target == "encrypt_text" else None)

    def test_unbounded_recursion_through_a_collaborator_is_a_recursion_error(self, workdir, monkeypatch):
        registry = KeyRegistry(str(workdir / "tokens.json"))
        api_key, token = registry.create_token("n")
        monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=lambda: registry.validate_token(api_key)))
        with pytest.raises(RecursionError):
            registry.validate_token(api_key)
        monkeypatch.undo()
        token._request_timestamps = []
        assert registry.validate_token(api_key) is token


# ================================================================ the vector vault on the stand-in driver (tests/fakes.py)


@pytest.fixture
def driver(monkeypatch):
    fake = install_driver(monkeypatch, vv, rows=True)
    monkeypatch.setattr(vv, "Vector", lambda values: ("vector", values))
    return fake


@pytest.fixture
def fake_backend(driver):
    return PostgresVectorBackend("dbname=fake", embedding_dim=3, table="mem")


BACKEND_METHODS = {
    "add": ["record"],
    "add_batch": ["records"],
    "get": ["memory_id"],
    "update": ["memory_id", "fields"],
    "delete": ["memory_id"],
    "vector_search": ["query_embedding", "top_k", "threshold", "tenant_id", "user_id", "session_id", "allowed_ids"],
    "all_records": ["tenant_id", "user_id", "session_id"],
    "stats": ["tenant_id", "user_id", "session_id"],
    "clear": ["tenant_id", "user_id", "session_id"],
    "convert_storage_format": ["new_format", "new_file"],
    "_session_id": ["record"],
    "_embedding_or_none": ["record"],
}

valid_backend_values = st.sampled_from([
    {"id": "a", "embedding": [1.0, 0.0, 0.0], "source": {"session_id": "s"}}, [{"id": "b"}], "a", {"x": 1},
    [1.0, 0.0, 0.0], 3, 0.5, None, {"a", "b"}, "json",
])


def check_backend_usable(backend, driver):
    assert not backend._conn_lock.locked()
    driver.odd.clear()
    assert backend.stats() == {"count": 4}
    assert backend.get("a") == {"id": "a"}


class TestVaultArguments:
    @FUZZ
    @given(data=st.data())
    def test_arbitrary_calls_leave_the_backend_usable_and_unlocked(self, data, fake_backend, driver):
        for _ in range(data.draw(st.integers(1, 4))):
            name = data.draw(st.sampled_from(sorted(BACKEND_METHODS)))
            args, kwargs = draw_arguments(data.draw, BACKEND_METHODS[name], valid_backend_values)
            call_guarded(getattr(fake_backend, name), *args, **kwargs)
            check_backend_usable(fake_backend, driver)

    @FUZZ
    @given(args=st.lists(nasty, max_size=3), kwargs=st.dictionaries(
        st.sampled_from(["dsn", "embedding_dim", "table", "reset", "other"]), nasty, max_size=3))
    def test_constructor_with_arbitrary_arguments(self, args, kwargs, driver):
        backend = call_guarded(PostgresVectorBackend, *args, **kwargs)
        if isinstance(backend, PostgresVectorBackend):
            check_backend_usable(backend, driver)


ODD_RESULTS = st.one_of(nasty, st.sampled_from([FakeError("driver"), Boom("other"), KeyboardInterrupt()]).map(
    lambda e: e if not isinstance(e, KeyboardInterrupt) else RuntimeError("interrupted")))


class TestVaultDriverMisbehaving:
    @FUZZ
    @given(data=st.data())
    def test_driver_answers_anything(self, data, fake_backend, driver):
        for _ in range(data.draw(st.integers(1, 3))):
            point = data.draw(st.sampled_from(["execute", "rows", "rowcount", "fetchone", "fetchall", "closed",
                                               "connect", "close", "fileno"]))
            driver.odd[point] = data.draw(ODD_RESULTS)
        if data.draw(st.booleans()):
            fake_backend._connection = None if data.draw(st.booleans()) else fake_backend._connection
        if data.draw(st.booleans()):
            fake_backend._conn_pid = -1  # as if inherited through a fork
        name = data.draw(st.sampled_from(sorted(BACKEND_METHODS)))
        args, kwargs = draw_arguments(data.draw, BACKEND_METHODS[name], valid_backend_values)
        call_guarded(getattr(fake_backend, name), *args, **kwargs)
        for method, a, kw in [("get", ("a",), {}), ("stats", (), {}), ("delete", ("a",), {}),
                              ("vector_search", ([1.0, 0.0, 0.0],), dict(top_k=3, threshold=0.0)),
                              ("all_records", (), {}), ("update", ("a", {}), {})]:
            call_guarded(getattr(fake_backend, method), *a, **kw)
            assert not fake_backend._conn_lock.locked()
        check_backend_usable(fake_backend, driver)

    @pytest.mark.parametrize("target", ["Vector", "register_vector"])
    @FUZZ
    @given(result=ODD_RESULTS)
    def test_adapter_replacements_that_misbehave(self, target, result, fake_backend, driver, monkeypatch):
        def replacement(*args):
            if isinstance(result, BaseException):
                raise result
            return result

        monkeypatch.setattr(vv, target, replacement)
        fake_backend._connection = None
        call_guarded(fake_backend.vector_search, [1.0, 0.0, 0.0], top_k=2, threshold=0.0)
        call_guarded(fake_backend.add, {"id": "a", "embedding": [1.0, 2.0, 3.0]})
        assert not fake_backend._conn_lock.locked()
        monkeypatch.setattr(vv, target, (lambda values: ("vector", values)) if target == "Vector" else
                            (lambda conn: None))
        check_backend_usable(fake_backend, driver)

    def test_record_whose_lookups_mutate_it(self, fake_backend, driver):
        class Source(dict):
            def get(self, key, default=None):
                record.clear()
                gc.collect()
                return "s"

        record = {"id": "a", "source": Source(session_id="other"), "summary": "x", "embedding": [1.0, 2.0, 3.0]}
        fake_backend.add(record)
        sql, params = driver.log[-1]
        # Read in column order: what comes after the session is read from the emptied record.
        assert params[:5] == ("a", None, None, "s", None) and params[5] == "{}" and params[6] is None
        assert not fake_backend._conn_lock.locked()

    def test_key_whose_comparison_mutates_the_record(self, fake_backend, driver):
        class Colliding:
            def __hash__(self):
                return hash("tenant_id")

            def __eq__(self, other):
                record.clear()
                return False

        record = {"id": "a", Colliding(): 1}
        call_guarded(fake_backend.add, record)
        check_backend_usable(fake_backend, driver)

    def test_batch_whose_records_shrink_the_batch(self, fake_backend, driver):
        records = []

        class Backend(PostgresVectorBackend):
            def add(self, record):
                records.clear()
                gc.collect()
                super().add(record)

        backend = Backend("dbname=fake", embedding_dim=3, table="mem")
        records.extend([{"id": "a"}, {"id": "b"}, {"id": "c"}])
        assert backend.add_batch(records) == 0
        check_backend_usable(backend, driver)

    def test_rows_that_change_while_they_are_read(self, fake_backend, driver):
        def rows():
            yield ({"id": "a"}, 0.5)
            driver.odd.clear()
            gc.collect()
            yield ({"id": "b"}, 0.7)

        driver.odd["fetchall"] = rows()
        result = fake_backend.vector_search([1.0, 0.0, 0.0], top_k=2, threshold=0.0)
        assert [r["id"] for r in result] == ["a", "b"]

    def test_row_records_whose_lookups_mutate_them(self, fake_backend, driver):
        rows = []

        class Record:
            """A mapping (not a dict) whose look-ups empty the rows being read."""

            def __init__(self, **items):
                self.items = items

            def keys(self):
                return list(self.items)

            def __getitem__(self, key):
                rows.clear()
                gc.collect()
                return self.items[key]

        class Row(tuple):
            def __getitem__(self, index):
                rows.clear()
                gc.collect()
                return tuple.__getitem__(self, index)

        rows.extend([(Record(id="a"), 0.5), Row((Record(id="b"), 0.9))])
        driver.odd["rows"] = rows
        result = fake_backend.vector_search([1.0, 0.0, 0.0], top_k=2, threshold=0.0)
        assert result == [{"id": "a", "score": 0.5, "method": "embedding"},
                          {"id": "b", "score": 0.9, "method": "embedding"}]
        rows.extend([Row(({"id": "a"},)), Row(({"id": "b"},))])
        driver.odd["rows"] = rows
        assert fake_backend.all_records() == [{"id": "a"}, {"id": "b"}]
        driver.odd["rows"] = [Row((7,))]
        assert fake_backend.stats() == {"count": 7}
        check_backend_usable(fake_backend, driver)

    def test_threads_sharing_a_backend_whose_driver_fails_now_and_then(self, fake_backend, driver):
        old_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        failures = []

        def work(seed):
            for i in range(300):
                if (i + seed) % 17 == 0:
                    driver.odd["execute"] = FakeError("flaky")
                elif (i + seed) % 5 == 0:
                    driver.odd.clear()
                try:
                    fake_backend.add({"id": f"{seed}-{i}", "embedding": [1.0, 0.0, 0.0]})
                    fake_backend.vector_search([1.0, 0.0, 0.0], top_k=2, threshold=0.0)
                    fake_backend.stats()
                except FakeError:
                    pass
                except Exception as exc:  # anything else is a fault
                    failures.append(exc)

        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(old_interval)
        assert failures == []
        check_backend_usable(fake_backend, driver)

    def test_conn_scope_driven_by_hand(self, fake_backend, driver):
        gen = PostgresVectorBackend._conn.__wrapped__(fake_backend)
        conn = next(gen)
        assert fake_backend._conn_lock.locked()
        with pytest.raises(StopIteration):
            next(gen)
        assert not fake_backend._conn_lock.locked()
        for action in [lambda g: g.throw(Boom("x")), lambda g: g.close(), lambda g: g.send(None),
                       lambda g: g.throw(Boom, Boom("y"), None), lambda g: g.throw(ValueError, ("a", 1))]:
            g = PostgresVectorBackend._conn.__wrapped__(fake_backend)
            assert next(g) is conn
            call_guarded(action, g)
            assert not fake_backend._conn_lock.locked()
            del g
        g = PostgresVectorBackend._conn.__wrapped__(fake_backend)
        next(g)
        del g
        gc.collect()
        assert not fake_backend._conn_lock.locked()
        for arg in [None, 5, object(), FakeConnection(driver)]:
            g = PostgresVectorBackend._conn.__wrapped__(arg)
            call_guarded(next, g)
        check_backend_usable(fake_backend, driver)

    def test_lock_replaced_by_one_that_misbehaves(self, fake_backend, driver):
        class Lock:
            def acquire(self):
                return True

            def release(self):
                raise Boom("release")

            def locked(self):
                return False

        fake_backend._conn_lock = Lock()
        with pytest.raises(Boom):
            fake_backend.get("a")
        fake_backend._conn_lock = threading.Lock()
        check_backend_usable(fake_backend, driver)


# ================================================================ the vector vault: a real database


@pytest.fixture
def db_backend(pg_dsn):
    import psycopg

    table = f"h_{os.getpid()}_{int(time.time() * 1000) % 100000}"
    backend = PostgresVectorBackend(pg_dsn, embedding_dim=3, table=table)
    yield backend
    backend._connection.close()
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"DROP TABLE IF EXISTS {table}")


record_values = st.one_of(nasty, st.sampled_from([[1.0, 0.0, 0.0], [float("nan"), 0.0, 0.0], [1.0, 2.0],
                                                   ["a", "b", "c"], [float("inf")] * 3, "\ud800"]))


@pytest.mark.postgres
class TestVaultDatabase:
    @FUZZ
    @given(data=st.data())
    def test_failed_writes_leave_nothing_behind(self, data, db_backend):
        good = {"id": "kept", "summary": "s", "embedding": [1.0, 0.0, 0.0], "tenant_id": "t"}
        db_backend.clear()
        db_backend.add(good)
        record = {"id": data.draw(st.one_of(st.sampled_from(["kept", "new"]), nasty))}
        for key in data.draw(st.lists(st.sampled_from(["summary", "embedding", "tenant_id", "user_id", "source",
                                                       "extra"]), max_size=4, unique=True)):
            record[key] = data.draw(record_values)
        outcome = call_guarded(db_backend.add, record)
        assert not db_backend._conn_lock.locked()
        count = db_backend.stats()["count"]
        if isinstance(outcome, BaseException):
            assert count == 1 and db_backend.get("kept") == good  # nothing of the failed record was written
        else:
            assert count in (1, 2)
        fields = data.draw(st.dictionaries(st.text(max_size=3), record_values, max_size=2))
        call_guarded(db_backend.update, "kept", fields)
        call_guarded(db_backend.vector_search, data.draw(record_values) if data.draw(st.booleans()) else [1.0, 0, 0],
                     top_k=data.draw(st.one_of(st.integers(-3, 3), nasty)), threshold=data.draw(nasty),
                     allowed_ids=data.draw(st.none() | st.just({"kept", "new"})))
        assert not db_backend._conn_lock.locked()
        db_backend.clear()
        assert db_backend.stats() == {"count": 0}


# ================================================================ leaks


@pytest.fixture
def stepping_clock(monkeypatch):
    """A monotonic clock that moves one second per reading, so request windows stay short."""
    now = [1000.0]

    def monotonic():
        now[0] += 1.0
        return now[0]

    monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=monotonic))


def encryption_operations():
    enc = FileEncryptor(KEY)
    data, token, text = b"data", enc.encrypt(b"data"), enc.encrypt_text("t\u00e9xt")
    return {
        "FileEncryptor()": (lambda: FileEncryptor(KEY), [KEY]),
        "encrypt": (lambda: enc.encrypt(data), [data, enc]),
        "decrypt": (lambda: enc.decrypt(token), [token]),
        "encrypt_text": (lambda: enc.encrypt_text("t\u00e9xt"), []),
        "decrypt_text": (lambda: enc.decrypt_text(text), [text, MAGIC_HEADER]),
        "decrypt_text of a bare token": (lambda: enc.decrypt_text(token), [token]),
        "generate_key": (FileEncryptor.generate_key, []),
        "is_encrypted": (lambda: FileEncryptor.is_encrypted(text), [text]),
        "refused argument": (lambda: call_guarded(enc.encrypt, "str"), []),
        "wrong key": (lambda: call_guarded(FileEncryptor(Fernet.generate_key().decode()).decrypt, token), [token]),
    }


def registry_operations(workdir, encrypted):
    registry = KeyRegistry(str(workdir / "tokens.json"), KEY if encrypted else None)
    api_key, token = registry.create_token("n", metadata={"a": [1, 2.5, None, "é"]}, rate_limit=10 ** 6)
    _, revoked = registry.create_token("r")
    registry.revoke_token(revoked.token_id)
    data = token.to_dict()
    permission = "nothing"

    def create_and_delete():
        _, t = registry.create_token("x", permissions=["read"], expires_days=3, metadata={"m": 1})
        registry.delete_token(t.token_id)

    return {
        # Every save but the one after a validation is flushed to disk, which is slow: fewer calls.
        "create_token + delete_token": (create_and_delete, 2000, []),
        "revoke_token": (lambda: registry.revoke_token(revoked.token_id), 2000, [revoked]),
        "update_token": (lambda: registry.update_token(token.token_id, name="m", metadata={"b": 1}), 2000, []),
        "regenerate_key": (lambda: registry.regenerate_key(revoked.token_id), 2000, []),
        "KeyRegistry()": (lambda: KeyRegistry(str(workdir / "tokens.json"), KEY if encrypted else None), 2000, []),
        "validate_token": (lambda: registry.validate_token(api_key), 10_000, [api_key, token]),
        "validate_token of an unknown key": (lambda: registry.validate_token("vsk_unknown"), 10_000, []),
        "list_tokens": (lambda: registry.list_tokens(True), 10_000, []),
        "get_token": (lambda: registry.get_token(token.token_id), 10_000, [token]),
        "unknown ids": (lambda: (registry.revoke_token("x"), registry.delete_token("x"),
                                 registry.update_token("x"), registry.regenerate_key("x")), 10_000, []),
        "_hash_key": (lambda: registry._hash_key(api_key), 10_000, [api_key]),
        "_generate_key": (registry._generate_key, 10_000, []),
        "is_expired": (token.is_expired, 10_000, [token]),
        "has_permission": (lambda: token.has_permission(permission), 10_000, [permission, sys.intern("admin")]),
        "is_rate_limited + record_request": (lambda: (token.is_rate_limited(), token.record_request()), 10_000,
                                             [token]),
        "to_dict": (token.to_dict, 10_000, [token]),
        "from_dict": (lambda: Token.from_dict(data), 10_000, [data]),
        "refused arguments": (lambda: (call_guarded(registry.create_token, None),
                                       call_guarded(registry.update_token, "x", rate_limit="2"),
                                       call_guarded(Token.from_dict, dict(data, extra=1))), 10_000, []),
    }


ENCRYPTION_OPS = list(encryption_operations())
REGISTRY_OPS = [
    "create_token + delete_token", "revoke_token", "update_token", "regenerate_key", "KeyRegistry()",
    "validate_token", "validate_token of an unknown key", "list_tokens", "get_token", "unknown ids", "_hash_key",
    "_generate_key", "is_expired", "has_permission", "is_rate_limited + record_request", "to_dict", "from_dict",
    "refused arguments"]


@pytest.mark.slow  # about a minute in all
class TestLeaks:
    @pytest.mark.parametrize("name", ENCRYPTION_OPS)
    def test_encryption_operation_keeps_memory_flat(self, name):
        op, watch = encryption_operations()[name]
        leakcheck.assert_flat(op, 10_000, watch=watch)

    # The encryptor only takes part in saving and loading.
    @pytest.mark.parametrize("name, encrypted", [(name, False) for name in REGISTRY_OPS] + [
        (name, True) for name in ("create_token + delete_token", "validate_token", "KeyRegistry()")])
    def test_registry_operation_keeps_memory_flat(self, name, encrypted, workdir, stepping_clock):
        op, iterations, watch = registry_operations(workdir, encrypted)[name]
        leakcheck.assert_flat(op, iterations, watch=watch)

    def test_fake_driver_operations_keep_memory_flat(self, fake_backend, driver):
        record = {"id": "a", "tenant_id": "t", "source": {"session_id": "s"}, "embedding": [1.0, 0.0, 0.0]}
        query, ids = [1.0, 0.0, 0.0], {"a", "b"}

        def everything():
            driver.log.clear()
            fake_backend.add(record)
            fake_backend.add_batch([record, record])
            fake_backend.get("a")
            fake_backend.update("a", {"x": 1})
            fake_backend.delete("a")
            fake_backend.vector_search(query, top_k=2, threshold=0.0, tenant_id="t")
            fake_backend.vector_search(query, top_k=2, threshold=0.0, allowed_ids=ids)
            fake_backend.vector_search([], top_k=2, threshold=0.0)
            fake_backend.all_records(user_id="u")
            fake_backend.stats(session_id="s")
            fake_backend.clear("t")
            PostgresVectorBackend._session_id(record)
            PostgresVectorBackend._embedding_or_none(record)
            call_guarded(fake_backend.convert_storage_format, "json")
            call_guarded(fake_backend.get, None)

        leakcheck.assert_flat(everything, 10_000, watch=[record, query, ids, fake_backend])

    def test_fake_driver_failures_keep_memory_flat(self, fake_backend, driver):
        def failing():
            driver.odd["execute"] = FakeError("refused")
            call_guarded(fake_backend.get, "a")  # the ping fails: reconnect, then the statement fails
            driver.odd.clear()
            driver.connections.clear()
            driver.log.clear()
            call_guarded(fake_backend.add, {"id": "a", "source": {"session_id": 42}})
            call_guarded(fake_backend.add, {"x": 1})

        leakcheck.assert_flat(failing, 10_000)

    def test_construction_keeps_memory_flat(self, driver):
        def construct():
            driver.connections.clear()
            driver.log.clear()
            PostgresVectorBackend("dbname=fake", embedding_dim=3, table="mem")
            call_guarded(PostgresVectorBackend, "dbname=fake", embedding_dim=3, table="bad-name")

        leakcheck.assert_flat(construct, 10_000)

    @pytest.mark.postgres
    def test_database_operations_keep_memory_flat(self, db_backend):
        # Round trips to the server are slow: fewer calls.
        record = {"id": "a", "summary": "s", "tenant_id": "t", "embedding": [1.0, 0.0, 0.0]}

        def round_trips():
            db_backend.add(record)
            db_backend.get("a")
            db_backend.update("a", {"x": 1})
            db_backend.vector_search([1.0, 0.0, 0.0], top_k=2, threshold=0.0, tenant_id="t")
            db_backend.all_records(tenant_id="t")
            db_backend.stats()
            db_backend.delete("a")

        leakcheck.assert_flat(round_trips, 2000, watch=[record])
