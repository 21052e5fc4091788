"""vesperkit.auth.key_registry: Token, the token file and the key lifecycle."""

import dataclasses
import datetime as real_datetime
import hashlib
import json
import logging
import os
import random
import re
import signal
import stat
import subprocess
import sys
import textwrap
import time
import types
from pathlib import Path

import pytest
from cryptography.fernet import Fernet, InvalidToken

import vesperkit.auth.key_registry as kr
import vesperkit.utils.encryption as encryption
import vesperkit.utils.text as text_helpers
from vesperkit.auth.key_registry import KeyRegistry, Token
from hostile import DictSub, StrSub, self_dict, self_list

LOGGER = "vesperkit.auth.key_registry"
KEY = Fernet.generate_key().decode()
FIELDS = ["token_id", "name", "hashed_key", "created_at", "expires_at", "last_used",
          "permissions", "rate_limit", "is_active", "metadata"]


def arg_type_message(arg, expected, value):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {type(value).__name__})"


def json_bytes(registry):
    data = {k: t.to_dict() for k, t in registry.tokens.items()}
    return json.dumps(data, indent=2, ensure_ascii=False).encode("utf-8")


def make_token(**overrides):
    values = dict(token_id="tok_0123456789abcdef", name="n", hashed_key="0" * 64,
                  created_at="2024-01-02T03:04:05")
    values.update(overrides)
    return Token(**values)


class Clock:
    """A monotonic clock the test moves by hand."""

    def __init__(self, now=1000.0):
        self.now = now

    def monotonic(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(kr, "time", types.SimpleNamespace(monotonic=c.monotonic))
    return c


def frozen_datetime(monkeypatch, now):
    """Make the module's `datetime.datetime.now()` return `now`."""

    class Frozen(real_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return now

    monkeypatch.setattr(kr, "datetime", types.SimpleNamespace(datetime=Frozen, timedelta=real_datetime.timedelta))


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "tokens.json")


@pytest.fixture
def registry(path):
    return KeyRegistry(path)


def records(caplog, level):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == level]


# ---------------------------------------------------------------------------
class TestModule:
    def test_package_helpers(self):
        assert kr.validate_file_path is text_helpers.validate_file_path
        assert kr.FileEncryptor is encryption.FileEncryptor
        assert kr.logger.name == LOGGER

    def test_token_prefix(self):
        assert KeyRegistry.TOKEN_PREFIX == "vsk_"


# ---------------------------------------------------------------------------
class TestTokenRecord:
    def test_dataclass_fields_and_defaults(self):
        fields = dataclasses.fields(Token)
        assert [f.name for f in fields] == FIELDS + ["_request_timestamps"]
        t = make_token()
        assert (t.expires_at, t.last_used, t.permissions, t.rate_limit, t.is_active, t.metadata,
                t._request_timestamps) == (None, None, ["read", "write"], 0, True, {}, [])

    def test_defaults_are_not_shared(self):
        a, b = make_token(), make_token()
        assert a.permissions is not b.permissions
        assert a.metadata is not b.metadata
        assert a._request_timestamps is not b._request_timestamps

    def test_repr_leaves_out_the_window_and_eq_covers_it(self):
        a, b = make_token(), make_token()
        assert "_request_timestamps" not in repr(a)
        assert repr(a).startswith("Token(token_id='tok_0123456789abcdef', name='n',")
        assert a == b
        b._request_timestamps.append(1.0)
        assert a != b


class TestExpiry:
    def test_no_expiry_never_expires(self):
        assert make_token().is_expired() is False

    @pytest.mark.parametrize("offset, expected", [(-1, True), (3600, False)])
    def test_relative_to_now(self, offset, expected):
        when = (real_datetime.datetime.now() + real_datetime.timedelta(seconds=offset)).isoformat()
        assert make_token(expires_at=when).is_expired() is expected

    def test_not_expired_at_the_exact_instant(self, monkeypatch):
        instant = real_datetime.datetime(2030, 5, 6, 7, 8, 9, 123456)
        frozen_datetime(monkeypatch, instant)
        assert make_token(expires_at=instant.isoformat()).is_expired() is False
        frozen_datetime(monkeypatch, instant + real_datetime.timedelta(microseconds=1))
        assert make_token(expires_at=instant.isoformat()).is_expired() is True

    def test_invalid_text_raises_the_parser_error(self):
        with pytest.raises(ValueError):
            make_token(expires_at="next tuesday").is_expired()

    def test_offset_aware_expiry_cannot_be_compared(self):
        with pytest.raises(TypeError):
            make_token(expires_at="2030-01-01T00:00:00+00:00").is_expired()


class TestPermissions:
    @pytest.mark.parametrize(
        "permissions, asked, expected",
        [
            (["read"], "read", True),
            (["read"], "Read", False),
            (["read"], "write", False),
            (["admin"], "anything", True),
            ([], "read", False),
        ],
    )
    def test_has_permission(self, permissions, asked, expected):
        assert make_token(permissions=permissions).has_permission(asked) is expected

    @pytest.mark.parametrize("value", [None, StrSub("read"), b"read"])
    def test_permission_must_be_str(self, value):
        with pytest.raises(TypeError) as exc:
            make_token().has_permission(value)
        assert str(exc.value) == arg_type_message("permission", "str", value)


class TestRateLimit:
    @pytest.mark.parametrize("limit", [0, -3])
    def test_no_limit_is_never_limited(self, clock, limit):
        t = make_token(rate_limit=limit)
        for _ in range(50):
            t.record_request()
        assert t.is_rate_limited() is False

    def test_limit_one_and_the_60_second_window(self, clock):
        t = make_token(rate_limit=1)
        assert t.is_rate_limited() is False
        t.record_request()
        assert t._request_timestamps == [1000.0]
        assert t.is_rate_limited() is True
        clock.now = 1059.999
        assert t.is_rate_limited() is True
        clock.now = 1060.0  # exactly 60 seconds old: dropped
        assert t.is_rate_limited() is False
        assert t._request_timestamps == []

    def test_replacing_time_monotonic_itself(self, monkeypatch):
        now = [500.0]
        monkeypatch.setattr(kr.time, "monotonic", lambda: now[0])
        t = make_token(rate_limit=1)
        t.record_request()
        assert t.is_rate_limited() is True
        now[0] += 60
        assert t.is_rate_limited() is False

    def test_pruning_replaces_the_window_with_recent_entries_in_order(self, clock):
        t = make_token(rate_limit=10)
        t._request_timestamps.extend([900.0, 990.0, 941.0, 999.5])
        old = t._request_timestamps
        assert t.is_rate_limited() is False
        assert t._request_timestamps == [990.0, 941.0, 999.5]
        assert t._request_timestamps is not old

    def test_unlimited_window_is_left_alone_by_the_check(self, clock):
        t = make_token(rate_limit=0)
        t._request_timestamps.extend([1.0, 2.0])
        window = t._request_timestamps
        t.is_rate_limited()
        assert t._request_timestamps is window and window == [1.0, 2.0]

    def test_unlimited_window_stays_bounded(self, clock):
        t = make_token(rate_limit=0)
        for _ in range(5000):
            clock.now += 1.0
            t.record_request()
        assert len(t._request_timestamps) <= 2 * 60 + 1

    def test_bounding_does_not_change_later_answers(self, clock):
        t = make_token(rate_limit=0)
        for _ in range(500):
            clock.now += 0.5
            t.record_request()
        t.rate_limit = 120  # exactly the requests of the last minute
        assert t.is_rate_limited() is True
        t.rate_limit = 121
        assert t.is_rate_limited() is False


class TestDictForm:
    def test_to_dict_has_the_ten_members_in_order(self):
        t = make_token(metadata={"a": [1]})
        t._request_timestamps.append(5.0)
        d = t.to_dict()
        assert list(d) == FIELDS
        d["metadata"]["a"].append(2)
        d["permissions"].append("x")
        assert t.metadata == {"a": [1]} and t.permissions == ["read", "write"]

    def test_round_trip(self):
        t = make_token(expires_at="2030-01-01T00:00:00", metadata={"k": "v"}, rate_limit=3)
        assert Token.from_dict(t.to_dict()) == t

    def test_from_dict_ignores_the_window(self):
        d = make_token().to_dict()
        d["_request_timestamps"] = [1.0, 2.0]
        assert Token.from_dict(d)._request_timestamps == []

    def test_required_members_only(self):
        t = Token.from_dict({"token_id": "t", "name": "n", "hashed_key": "h", "created_at": "c"})
        assert t == Token("t", "n", "h", "c")

    @pytest.mark.parametrize("change", [{"unknown": 1}, {"name": None}])
    def test_unknown_or_missing_member(self, change):
        d = make_token().to_dict()
        d.update(change)
        if change == {"name": None}:
            del d["name"]
        with pytest.raises(TypeError):
            Token.from_dict(d)

    def test_from_dict_builds_the_subclass(self):
        class Sub(Token):
            pass

        assert type(Sub.from_dict(make_token().to_dict())) is Sub

    @pytest.mark.parametrize("value", [[("token_id", "t")], DictSub(token_id="t"), None])
    def test_data_must_be_a_dict(self, value):
        with pytest.raises(TypeError) as exc:
            Token.from_dict(value)
        assert str(exc.value) == arg_type_message("data", "dict", value)


# ---------------------------------------------------------------------------
class TestRegistryConstruction:
    def test_missing_file_gives_an_empty_registry_and_no_file(self, path):
        reg = KeyRegistry(path)
        assert vars(reg) == {"tokens_file": Path(path), "tokens": {}, "_encryptor": None}
        assert not os.path.exists(path)
        reg.create_token("first")
        assert os.path.exists(path)

    def test_path_goes_through_validate_file_path(self, monkeypatch, tmp_path):
        seen = []
        other = tmp_path / "elsewhere.json"
        monkeypatch.setattr(kr, "validate_file_path", lambda p: seen.append(p) or str(other))
        reg = KeyRegistry("given.json")
        assert seen == ["given.json"] and reg.tokens_file == other

    def test_rejected_path_stops_construction(self):
        with pytest.raises(ValueError, match="must not be empty"):
            KeyRegistry("")

    @pytest.mark.parametrize(
        "kwargs, arg, expected, value",
        [
            ({"tokens_file": None}, "tokens_file", "str", None),
            ({"tokens_file": Path("x.json")}, "tokens_file", "str", Path("x.json")),
            ({"tokens_file": StrSub("x.json")}, "tokens_file", "str", StrSub("x.json")),
            ({"encryption_key": KEY.encode()}, "encryption_key", "str", KEY.encode()),
        ],
    )
    def test_argument_types(self, kwargs, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            KeyRegistry(**kwargs)
        assert str(exc.value) == arg_type_message(arg, expected, value)

    def test_encryptor_is_made_with_the_key_by_name(self, monkeypatch, path):
        made = []
        monkeypatch.setattr(kr, "FileEncryptor", lambda **kw: made.append(kw) or "encryptor")
        monkeypatch.setattr(kr.KeyRegistry, "_load_tokens", lambda self: None)
        assert KeyRegistry(path, "the key")._encryptor == "encryptor"
        assert made == [{"key": "the key"}]

    def test_empty_key_means_no_encryption_and_no_environment(self, monkeypatch, path):
        monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", KEY)
        reg = KeyRegistry(path, "")
        assert reg._encryptor is None
        reg.create_token("n")
        assert json.loads(Path(path).read_text("utf-8"))

    def test_load_goes_through_the_instance(self, path):
        class Sub(KeyRegistry):
            def _load_tokens(self):
                self.loaded = True

        assert Sub(path).loaded is True


class TestPlainFile:
    def test_bytes_equal_json_dumps(self, registry, path):
        registry.create_token("Zoë 漢字 😀", metadata={"nested": {"list": [1, 2.5, None, True]}, "é": "\t"})
        registry.create_token("second", permissions=["admin"], rate_limit=5)
        raw = Path(path).read_bytes()
        assert raw == json_bytes(registry)
        assert "Zoë 漢字 😀".encode() in raw and b'\n  "tok_' in raw and not raw.endswith(b"\n")

    def test_reload_gives_the_same_tokens_in_order(self, registry, path):
        for i in range(5):
            registry.create_token(f"t{i}", metadata={"i": i})
        again = KeyRegistry(path)
        assert list(again.tokens) == list(registry.tokens)
        assert again.tokens == registry.tokens

    def test_empty_registry_is_two_characters(self, registry, path):
        _, t = registry.create_token("n")
        registry.delete_token(t.token_id)
        assert Path(path).read_bytes() == b"{}"

    def test_member_name_is_the_key(self, path):
        d = make_token().to_dict()
        Path(path).write_text(json.dumps({"alias": d}), "utf-8")
        reg = KeyRegistry(path)
        assert list(reg.tokens) == ["alias"] and reg.tokens["alias"].token_id == d["token_id"]

    def test_mode_is_owner_only_after_every_save(self, path):
        Path(path).write_text("{}", "utf-8")
        os.chmod(path, 0o644)
        reg = KeyRegistry(path)
        reg.create_token("n")
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        os.chmod(path, 0o666)
        reg.create_token("m")
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600

    def test_mode_does_not_depend_on_the_umask(self, registry, path):
        old = os.umask(0o277)
        try:
            registry.create_token("n")
        finally:
            os.umask(old)
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600

    def test_no_temporary_files_are_left(self, registry, tmp_path):
        key, _ = registry.create_token("n")
        registry.validate_token(key)
        assert os.listdir(tmp_path) == ["tokens.json"]

    def test_symlinked_token_file_is_written_through(self, tmp_path):
        real = tmp_path / "real" / "tokens.json"
        real.parent.mkdir()
        link = tmp_path / "link.json"
        link.symlink_to(real)
        reg = KeyRegistry(str(link))
        reg.create_token("n")
        assert link.is_symlink() and json.loads(real.read_text("utf-8")).keys() == reg.tokens.keys()


class TestEncryptedFile:
    def test_format_is_magic_then_a_fernet_token_of_the_json(self, path):
        reg = KeyRegistry(path, KEY)
        reg.create_token("ünïcode", metadata={"a": 1})
        raw = Path(path).read_bytes()
        assert raw.startswith(b"VSK_ENC_V1\n")
        assert Fernet(KEY.encode()).decrypt(raw[11:]) == json_bytes(reg)

    def test_reload_with_the_key(self, path):
        reg = KeyRegistry(path, KEY)
        key, _ = reg.create_token("n")
        again = KeyRegistry(path, KEY)
        assert again.tokens == {k: dataclasses.replace(t, _request_timestamps=[]) for k, t in reg.tokens.items()}
        assert again.validate_token(key) is not None

    def test_wrong_key_fails_construction(self, path):
        KeyRegistry(path, KEY).create_token("n")
        with pytest.raises(InvalidToken):
            KeyRegistry(path, Fernet.generate_key().decode())

    def test_plain_file_is_read_with_a_key_and_written_back_encrypted(self, path):
        plain = KeyRegistry(path)
        plain.create_token("n")
        reg = KeyRegistry(path, KEY)
        assert reg.tokens == KeyRegistry(path).tokens
        reg.create_token("m")
        assert Path(path).read_bytes().startswith(b"VSK_ENC_V1\n")

    def test_in_place_changes_show_in_the_next_save(self, path):
        reg = KeyRegistry(path, KEY)
        key, token = reg.create_token("n", metadata={"tags": ["a"]})
        token.metadata["tags"].append("b")
        token.permissions.append("admin")
        assert reg.validate_token(key) is token
        assert Fernet(KEY.encode()).decrypt(Path(path).read_bytes()[11:]) == json_bytes(reg)

    @pytest.mark.parametrize("where", ["subclass", "instance", "class", "encrypt", "header"])
    def test_replaced_encryption_steps_are_honoured(self, path, monkeypatch, where):
        class Marked(encryption.FileEncryptor):
            def encrypt_text(self, text):
                return b"marked:" + text.encode()

        reg = KeyRegistry(path, KEY)
        if where == "subclass":
            reg._encryptor = Marked(KEY)
        elif where == "instance":
            reg._encryptor.encrypt_text = Marked.encrypt_text.__get__(reg._encryptor)
        elif where == "class":
            monkeypatch.setattr(encryption.FileEncryptor, "encrypt_text", Marked.encrypt_text)
        elif where == "encrypt":
            monkeypatch.setattr(encryption.FileEncryptor, "encrypt", lambda self, data: b"marked:" + data)
        else:
            monkeypatch.setattr(encryption, "MAGIC_HEADER", b"marked:")
        reg.create_token("n")
        raw = Path(path).read_bytes()
        if where == "header":
            assert raw.startswith(b"marked:") and Fernet(KEY.encode()).decrypt(raw[7:]) == json_bytes(reg)
        else:
            assert raw == (b"VSK_ENC_V1\n" if where == "encrypt" else b"") + b"marked:" + json_bytes(reg)

    def test_encrypted_file_without_a_key(self, path, caplog):
        KeyRegistry(path, KEY).create_token("n")
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            reg = KeyRegistry(path)
        assert reg.tokens == {}
        (rec,) = records(caplog, logging.WARNING)
        assert rec.msg == "Error loading tokens: %s" and isinstance(rec.args[0], json.JSONDecodeError)


class TestLoadFailures:
    @pytest.mark.parametrize(
        "content, error",
        [
            (b"\xff\xfe{}", UnicodeDecodeError),
            (b"[1, 2]", AttributeError),
            (json.dumps({"t": {"token_id": "t"}}).encode(), TypeError),
            (json.dumps({"t": dict(make_token().to_dict(), extra=1)}).encode(), TypeError),
            (json.dumps({"t": [1]}).encode(), TypeError),
        ],
    )
    def test_errors_propagate(self, path, content, error):
        Path(path).write_bytes(content)
        with pytest.raises(error):
            KeyRegistry(path)

    def test_unreadable_file(self, tmp_path):
        (tmp_path / "dir.json").mkdir()
        with pytest.raises(OSError):
            KeyRegistry(str(tmp_path / "dir.json"))


class TestSaveFailures:
    @pytest.mark.parametrize("encrypted", [False, True])
    def test_text_utf8_cannot_hold_is_logged_and_the_token_kept_as_written(self, path, caplog, encrypted):
        reg = KeyRegistry(path, KEY if encrypted else None)
        _, token = reg.create_token("n")
        plain = (lambda raw: encryption.FileEncryptor(key=KEY).decrypt_text(raw)) if encrypted else bytes.decode
        before = plain(Path(path).read_bytes())
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            assert reg.update_token(token.token_id, metadata={"s": "\ud83d"}) is token
        assert token.metadata == {"s": "\ud83d"}
        assert plain(Path(path).read_bytes()) == before  # the token's last written form
        (rec,) = records(caplog, logging.ERROR)
        assert rec.msg == "Error saving tokens: %s" and type(rec.args[0]) is ValueError
        assert str(rec.args[0]).startswith(f"Token '{token.token_id}' cannot be stored: 'utf-8' codec can't encode")

    def test_missing_directory_is_logged(self, tmp_path, caplog):
        reg = KeyRegistry(str(tmp_path / "missing" / "tokens.json"))
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            key, token = reg.create_token("n")
        assert reg.validate_token(key) is token
        errors = records(caplog, logging.ERROR)
        assert len(errors) == 2 and isinstance(errors[0].args[0], FileNotFoundError)
        assert errors[0].args[0].filename == str(tmp_path / "missing" / "tokens.json")

    def test_chmod_failure_is_logged_after_the_write(self, registry, path, monkeypatch, caplog):
        def chmod(p, mode):
            raise PermissionError(1, "Operation not permitted", str(p))

        monkeypatch.setattr(kr, "os", types.SimpleNamespace(name="posix", chmod=chmod))
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            registry.create_token("n")
        assert Path(path).read_bytes() == json_bytes(registry)
        (rec,) = records(caplog, logging.ERROR)
        assert isinstance(rec.args[0], PermissionError)

    def test_no_chmod_call_on_windows(self, registry, monkeypatch, caplog):
        calls = []
        monkeypatch.setattr(kr, "os", types.SimpleNamespace(name="nt", chmod=lambda *a: calls.append(a)))
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            registry.create_token("n")
        assert calls == [] and records(caplog, logging.ERROR) == []

    def test_chmod_gets_the_token_file_and_0o600(self, registry, path, monkeypatch):
        calls = []
        monkeypatch.setattr(kr, "os", types.SimpleNamespace(name="posix", chmod=lambda *a: calls.append(a)))
        registry.create_token("n")
        assert calls == [(Path(path), 0o600)]

    def test_failed_write_leaves_the_previous_file(self, tmp_path):
        # The file size limit makes the write of the new content fail part-way.
        script = textwrap.dedent(
            f"""
            import logging, os, resource, signal, sys
            from vesperkit.auth.key_registry import KeyRegistry
            logging.basicConfig(stream=sys.stdout, format="%(levelname)s %(name)s %(message)s")
            reg = KeyRegistry({str(tmp_path / "tokens.json")!r})
            reg.create_token("first")
            size = os.path.getsize(reg.tokens_file)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size + 100, size + 100))
            reg.create_token("second" * 100)
            print("returned", len(reg.tokens))
            """
        )
        before = None
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert "ERROR vesperkit.auth.key_registry Error saving tokens: [Errno 27] File too large" in result.stdout
        assert result.stdout.strip().endswith("returned 2")
        before = json.loads((tmp_path / "tokens.json").read_text("utf-8"))
        assert [t["name"] for t in before.values()] == ["first"]
        assert os.listdir(tmp_path) == ["tokens.json"]


UNSTORABLE = [
    ("metadata", {"scopes": {"read", "deploy"}}, TypeError, "Object of type set is not JSON serializable"),
    ("metadata", self_dict(), ValueError, "Circular reference detected"),
    ("metadata", {(1, 2): "k"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ("permissions", ["read", {"deploy"}], TypeError, "Object of type set is not JSON serializable"),
    ("permissions", self_list(), ValueError, "Circular reference detected"),
]


class TestUnwritable:
    """Values the token file cannot hold: refused when given, contained when made in place."""

    @pytest.mark.parametrize("via", ["create_token", "update_token"])
    @pytest.mark.parametrize("arg, value, error, message", UNSTORABLE,
                             ids=["set", "self-dict", "tuple-key", "set-in-list", "self-list"])
    def test_refused_before_anything_changes(self, registry, path, via, arg, value, error, message):
        _, token = registry.create_token("kept", metadata={"a": 1})
        before_file, before_tokens, before = Path(path).read_bytes(), dict(registry.tokens), token.to_dict()
        with pytest.raises(error) as exc:
            if via == "create_token":
                registry.create_token("refused", **{arg: value})
            else:
                registry.update_token(token.token_id, name="changed", **{arg: value})
        assert type(exc.value) is error and str(exc.value) == f"Argument '{arg}' cannot be stored: {message}"
        assert registry.tokens == before_tokens and token.to_dict() == before
        assert Path(path).read_bytes() == before_file

    def test_metadata_that_would_contain_itself_once_merged(self, registry, path):
        _, token = registry.create_token("n", metadata={"a": 1})
        before = Path(path).read_bytes()
        with pytest.raises(ValueError, match="^Argument 'metadata' cannot be stored: Circular reference detected$"):
            registry.update_token(token.token_id, metadata={"b": [token.metadata]})
        assert token.metadata == {"a": 1} and Path(path).read_bytes() == before
        assert registry.update_token(token.token_id, metadata=token.metadata) is token

    @pytest.mark.parametrize("loaded", [False, True], ids=["created", "loaded"])
    @pytest.mark.parametrize(
        "make, message",
        [(lambda meta: {1, 2}, "Object of type set is not JSON serializable"),
         (lambda meta: meta, "maximum recursion depth exceeded"),
         (lambda meta: 10 ** 5000, "Exceeds the limit (4300 digits) for integer string conversion")],
        ids=["set", "cycle", "int-too-long"],
    )
    def test_a_token_made_unwritable_in_place_blocks_no_other(self, registry, path, caplog, loaded, make, message):
        bad_key, bad = registry.create_token("bad", metadata={"a": 1})
        other_key, other = registry.create_token("other")
        if loaded:  # its last written form is what the file held when loaded
            registry = type(registry)(path)
            bad, other = registry.get_token(bad.token_id), registry.get_token(other.token_id)
        written = dict(bad.to_dict(), is_active=False)  # its metadata as last written, its revocation
        bad.metadata["v"] = make(bad.metadata)
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            new_key, new = registry.create_token("created afterwards")
            assert registry.revoke_token(other.token_id) is True
            assert registry.revoke_token(bad.token_id) is True
        line = f"Error saving tokens: Token '{bad.token_id}' cannot be stored: {message}"
        assert [r.getMessage()[:len(line)] for r in records(caplog, logging.ERROR)] == [line] * 3
        data = {k: written if t is bad else t.to_dict() for k, t in registry.tokens.items()}
        assert Path(path).read_bytes() == json.dumps(data, indent=2, ensure_ascii=False).encode("utf-8")
        restarted = type(registry)(path)
        assert restarted.validate_token(new_key).token_id == new.token_id
        assert restarted.validate_token(other_key) is None and restarted.validate_token(bad_key) is None
        assert restarted.get_token(bad.token_id).to_dict() == written


class TestUnreadableFileIsKept:
    def test_copy_is_made_before_the_first_save(self, path, tmp_path, caplog, monkeypatch):
        Path(path).write_bytes(b'{"truncated": ')
        frozen_datetime(monkeypatch, real_datetime.datetime(2031, 2, 3, 4, 5, 6))
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            reg = KeyRegistry(path)
            reg.create_token("n")
            reg.create_token("m")
        copy = path + ".corrupt-20310203T040506"
        assert Path(copy).read_bytes() == b'{"truncated": '
        assert stat.S_IMODE(os.stat(copy).st_mode) == 0o600
        warnings = records(caplog, logging.WARNING)
        assert [r.msg for r in warnings] == ["Error loading tokens: %s",
                                             "Kept the unreadable token file as %s before replacing it"]
        assert warnings[1].args == (copy,)
        assert sorted(os.listdir(tmp_path)) == ["tokens.json", "tokens.json.corrupt-20310203T040506"]
        assert json.loads(Path(path).read_text("utf-8")).keys() == reg.tokens.keys()

    def test_existing_copy_name_is_not_overwritten(self, path, monkeypatch):
        Path(path).write_bytes(b"garbage")
        frozen_datetime(monkeypatch, real_datetime.datetime(2031, 2, 3, 4, 5, 6))
        Path(path + ".corrupt-20310203T040506").write_bytes(b"older")
        KeyRegistry(path).create_token("n")
        assert Path(path + ".corrupt-20310203T040506").read_bytes() == b"older"
        assert Path(path + ".corrupt-20310203T040506-1").read_bytes() == b"garbage"

    def test_empty_file_needs_no_copy(self, path, tmp_path):
        Path(path).write_bytes(b"")
        KeyRegistry(path).create_token("n")
        assert os.listdir(tmp_path) == ["tokens.json"]

    def test_no_copy_no_replacement(self, tmp_path):
        # The file size limit lets the new token file through but not the copy
        # of the larger unreadable one.
        script = textwrap.dedent(
            f"""
            import logging, resource, signal, sys
            from vesperkit.auth.key_registry import KeyRegistry
            logging.basicConfig(stream=sys.stdout, format="%(levelname)s %(message)s")
            path = {str(tmp_path / "tokens.json")!r}
            open(path, "wb").write(b"garbage" * 2000)
            reg = KeyRegistry(path)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
            reg.create_token("n")
            print("returned", len(reg.tokens))
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert "ERROR Error saving tokens: [Errno 27] File too large" in result.stdout
        assert result.stdout.strip().endswith("returned 1")
        assert (tmp_path / "tokens.json").read_bytes() == b"garbage" * 2000
        assert os.listdir(tmp_path) == ["tokens.json"]


CRASH_CHILD = """
import sys
from vesperkit.auth.key_registry import KeyRegistry
reg = KeyRegistry(sys.argv[1], sys.argv[2] or None)
for token_id in list(reg.tokens)[:-100]:  # keeps the file at a steady size over the rounds
    del reg.tokens[token_id]
keys = [reg.create_token(f"token {i}", metadata={"i": i, "pad": "x" * 500})[0] for i in range(20)]
print("ready", flush=True)
i = 0
while True:
    i += 1
    assert reg.validate_token(keys[i % len(keys)]) is not None
    if i % 7 == 0:
        _, t = reg.create_token(f"extra {i}")
        reg.delete_token(t.token_id)
"""


class TestCrashSafety:
    @pytest.mark.parametrize("encrypted", [False, True])
    def test_killed_saves_never_leave_an_unreadable_file(self, tmp_path, encrypted):
        path = str(tmp_path / "tokens.json")
        key = KEY if encrypted else ""
        rng = random.Random(1234)
        for _ in range(10):
            child = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, path, key],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            assert child.stdout.readline() == b"ready\n", child.stderr.read()
            time.sleep(rng.uniform(0.0, 0.05))
            assert child.poll() is None, child.stderr.read()  # killed in the middle of its saves
            child.send_signal(signal.SIGKILL)
            child.wait()
            child.stdout.close()
            child.stderr.close()
            reg = KeyRegistry(path, key or None)  # raises on a damaged file
            assert len(reg.tokens) >= 20
            for name in os.listdir(tmp_path):
                # Leftover temporary files were owner-only from their creation.
                assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == 0o600


# ---------------------------------------------------------------------------
class TestIssuing:
    def test_key_id_and_hash_forms(self, registry):
        key, token = registry.create_token("n")
        assert re.fullmatch(r"vsk_[A-Za-z0-9_-]{43}", key)
        assert re.fullmatch(r"tok_[0-9a-f]{16}", token.token_id)
        assert token.hashed_key == hashlib.sha256(key.encode()).hexdigest()
        assert real_datetime.datetime.fromisoformat(token.created_at).tzinfo is None
        assert registry.get_token(token.token_id) is token
        assert key not in Path(registry.tokens_file).read_text("utf-8")

    def test_defaults_and_given_containers(self, registry):
        perms, meta = ["read"], {"a": 1}
        _, t = registry.create_token("n", permissions=perms, metadata=meta)
        assert t.permissions is perms and t.metadata is meta
        _, t = registry.create_token("n", permissions=[], metadata={})
        assert t.permissions == ["read", "write"] and t.metadata == {}
        assert (t.expires_at, t.rate_limit, t.is_active, t.last_used) == (None, 0, True, None)

    def test_timestamps_come_from_the_module_clock(self, registry, monkeypatch):
        frozen_datetime(monkeypatch, real_datetime.datetime(2030, 1, 1, 12, 0, 0, 5))
        _, t = registry.create_token("n", expires_days=2.7)
        assert t.created_at == "2030-01-01T12:00:00.000005"
        assert t.expires_at == "2030-01-03T12:00:00.000005"

    def test_zero_days_is_no_expiry_and_negative_days_never_validate(self, registry):
        _, t = registry.create_token("n", expires_days=0)
        assert t.expires_at is None
        key, t = registry.create_token("n", expires_days=-1)
        assert registry.validate_token(key) is None

    def test_expiry_out_of_range_stores_nothing(self, registry, path):
        with pytest.raises(OverflowError):
            registry.create_token("n", expires_days=10 ** 7)
        assert registry.tokens == {} and not os.path.exists(path)

    @pytest.mark.parametrize("value, stored", [(2.9, 2), (True, 1), (-1.5, -1), (7, 7)])
    def test_rate_limit_is_truncated_to_int(self, registry, value, stored):
        _, t = registry.create_token("n", rate_limit=value)
        assert t.rate_limit == stored and type(t.rate_limit) is int

    @pytest.mark.parametrize(
        "kwargs, arg, expected, value",
        [
            ({"name": "n", "rate_limit": "2"}, "rate_limit", "int", "2"),
            ({"name": "n", "expires_days": "1"}, "expires_days", "int", "1"),
            ({"name": None, "expires_days": "1", "rate_limit": "2"}, "expires_days", "int", "1"),
            ({"name": None, "rate_limit": "2"}, "rate_limit", "int", "2"),
            ({"name": None}, "name", "str", None),
            ({"name": StrSub("n")}, "name", "str", StrSub("n")),
            ({"name": "n", "permissions": ("read",)}, "permissions", "list", ("read",)),
            ({"name": "n", "metadata": []}, "metadata", "dict", []),
            ({"name": "n", "metadata": DictSub()}, "metadata", "dict", DictSub()),
        ],
    )
    def test_argument_checks_in_order(self, registry, kwargs, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            registry.create_token(**kwargs)
        assert str(exc.value) == arg_type_message(arg, expected, value)
        assert registry.tokens == {}


class TestValidation:
    def test_issued_key_validates_and_records_the_use(self, registry, path, clock):
        key, token = registry.create_token("n")
        assert registry.validate_token(key) is token
        assert token.last_used is not None and token._request_timestamps == [1000.0]
        assert json.loads(Path(path).read_text("utf-8"))[token.token_id]["last_used"] == token.last_used

    @pytest.mark.parametrize(
        "mangle",
        [
            lambda k: k[:-1] + ("A" if k[-1] != "A" else "B"),
            lambda k: k[4:],
            lambda k: "",
            lambda k: "vsk_",
            lambda k: k + "x",
            lambda k: "vsk_\udc80" + k[5:],
        ],
    )
    def test_other_keys_do_not_validate(self, registry, path, mangle):
        key, token = registry.create_token("n")
        before = Path(path).read_bytes()
        assert registry.validate_token(mangle(key)) is None
        assert token.last_used is None and Path(path).read_bytes() == before

    def test_api_key_must_be_str(self, registry):
        with pytest.raises(TypeError) as exc:
            registry.validate_token(None)
        assert str(exc.value) == arg_type_message("api_key", "str", None)

    def test_rate_limit_refuses_without_recording(self, registry, path, clock):
        key, token = registry.create_token("n", rate_limit=2)
        assert registry.validate_token(key) is token
        clock.now += 1
        assert registry.validate_token(key) is token
        used, before = token.last_used, Path(path).read_bytes()
        clock.now += 1
        assert registry.validate_token(key) is None
        assert token.last_used == used and Path(path).read_bytes() == before
        assert token._request_timestamps == [1000.0, 1001.0]
        clock.now = 1060.0
        assert registry.validate_token(key) is token

    def test_revoked_token(self, registry):
        key, token = registry.create_token("n")
        assert registry.revoke_token(token.token_id) is True
        assert registry.revoke_token(token.token_id) is True
        assert registry.validate_token(key) is None
        assert registry.list_tokens() == [] and registry.list_tokens(True) == [token]

    def test_first_matching_token_decides(self, registry):
        key, first = registry.create_token("a")
        _, second = registry.create_token("b")
        second.hashed_key = first.hashed_key
        first.is_active = False
        assert registry.validate_token(key) is None

    def test_hash_compared_by_value(self, registry):
        key, token = registry.create_token("a")
        token.hashed_key = StrSub(token.hashed_key)
        assert registry.validate_token(key) is token

    def test_prefix_is_read_through_the_instance(self, tmp_path):
        class Custom(KeyRegistry):
            TOKEN_PREFIX = "abc_"

        reg = Custom(str(tmp_path / "t.json"))
        key, token = reg.create_token("n")
        assert key.startswith("abc_") and len(key) == 47
        assert reg.validate_token(key) is token
        reg.TOKEN_PREFIX = "xyz_"
        assert reg.validate_token(key) is None


class TestOverrides:
    def test_registry_methods_are_called_through_the_instance(self, path):
        calls = []

        class Spy(KeyRegistry):
            def _save_tokens(self):
                calls.append("save")

            def _hash_key(self, api_key):
                calls.append("hash")
                return "h:" + api_key

        reg = Spy(path)
        key, token = reg.create_token("n")
        assert token.hashed_key == "h:" + key
        assert reg.validate_token(key) is token
        reg.revoke_token(token.token_id)
        reg.update_token(token.token_id)
        reg.regenerate_key(token.token_id)
        reg.delete_token(token.token_id)
        assert calls == ["hash", "save", "hash", "save", "save", "save", "hash", "save", "save"]
        assert not os.path.exists(path)

    def test_patched_class_method_is_honoured(self, registry, monkeypatch):
        key, token = registry.create_token("n")
        saves = []
        monkeypatch.setattr(KeyRegistry, "_save_tokens", lambda self: saves.append(self))
        assert registry.validate_token(key) is token
        assert saves == [registry]

    def test_token_methods_are_called_through_the_token(self, registry):
        key, token = registry.create_token("n")
        events = []

        class Recording(Token):
            def is_expired(self):
                events.append("expired?")
                return False

            def is_rate_limited(self):
                events.append("limited?")
                return False

            def record_request(self):
                events.append("record")

        sub = Recording(**token.to_dict())
        registry.tokens[token.token_id] = sub
        assert registry.validate_token(key) is sub
        assert events == ["expired?", "limited?", "record"]

        class Expired(Token):
            def is_expired(self):
                return True

        registry.tokens[token.token_id] = Expired(**token.to_dict())
        assert registry.validate_token(key) is None


class TestManagement:
    def test_unknown_ids_change_nothing(self, registry, path):
        registry.create_token("n")
        before = Path(path).read_bytes()
        mtime = os.stat(path).st_mtime_ns
        assert registry.revoke_token("tok_missing") is False
        assert registry.delete_token("tok_missing") is False
        assert registry.get_token("tok_missing") is None
        assert registry.update_token("tok_missing", name="x") is None
        assert registry.regenerate_key("tok_missing") is None
        assert Path(path).read_bytes() == before and os.stat(path).st_mtime_ns == mtime

    def test_delete_twice(self, registry):
        _, token = registry.create_token("n")
        assert registry.delete_token(token.token_id) is True
        assert registry.delete_token(token.token_id) is False

    def test_list_tokens(self, registry):
        expired_key, expired = registry.create_token("a", expires_days=-1)
        _, revoked = registry.create_token("b")
        registry.revoke_token(revoked.token_id)
        listed = registry.list_tokens()
        assert listed == [expired] and listed is not registry.list_tokens()
        assert registry.list_tokens("yes") == [expired, revoked]
        assert registry.list_tokens(include_inactive=0) == [expired]

    def test_update_applies_values_tested_against_none(self, registry, path):
        _, token = registry.create_token("n", rate_limit=5, metadata={"a": 1})
        perms = []
        assert registry.update_token(token.token_id, name="", permissions=perms, rate_limit=0.9,
                                     metadata={"b": 2}) is token
        assert (token.name, token.permissions, token.rate_limit, token.metadata) == ("", [], 0, {"a": 1, "b": 2})
        assert token.permissions is perms
        assert json.loads(Path(path).read_text("utf-8"))[token.token_id]["metadata"] == {"a": 1, "b": 2}

    def test_update_with_nothing_still_saves(self, registry, path):
        _, token = registry.create_token("n")
        os.remove(path)
        registry.update_token(token.token_id)
        assert os.path.exists(path)

    @pytest.mark.parametrize(
        "args, kwargs, arg, expected, value",
        [
            ((None,), {"rate_limit": "x"}, "rate_limit", "int", "x"),
            ((None,), {}, "token_id", "str", None),
            (("t",), {"name": b"n"}, "name", "str", b"n"),
            (("t",), {"permissions": "read"}, "permissions", "list", "read"),
            (("t",), {"metadata": [("a", 1)]}, "metadata", "dict", [("a", 1)]),
        ],
    )
    def test_update_argument_checks_in_order(self, registry, args, kwargs, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            registry.update_token(*args, **kwargs)
        assert str(exc.value) == arg_type_message(arg, expected, value)

    def test_regenerate_replaces_only_the_hash(self, registry, path):
        old_key, token = registry.create_token("n", permissions=["admin"])
        registry.validate_token(old_key)
        before = dataclasses.replace(token, _request_timestamps=list(token._request_timestamps))
        new_key = registry.regenerate_key(token.token_id)
        assert new_key.startswith("vsk_") and new_key != old_key
        assert dataclasses.replace(token, hashed_key=before.hashed_key) == before
        assert registry.validate_token(old_key) is None
        assert registry.validate_token(new_key) is token
        assert json.loads(Path(path).read_text("utf-8"))[token.token_id]["hashed_key"] == token.hashed_key

    def test_regenerated_key_of_a_revoked_token_stays_refused(self, registry):
        _, token = registry.create_token("n")
        registry.revoke_token(token.token_id)
        assert registry.validate_token(registry.regenerate_key(token.token_id)) is None

    @pytest.mark.parametrize("method", ["revoke_token", "delete_token", "get_token", "regenerate_key"])
    def test_token_id_must_be_str(self, registry, method):
        with pytest.raises(TypeError) as exc:
            getattr(registry, method)(b"tok")
        assert str(exc.value) == arg_type_message("token_id", "str", b"tok")
