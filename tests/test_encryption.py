"""vesperkit.utils.encryption: FileEncryptor and the encrypted-text format."""

import contextlib
import subprocess
import sys
import textwrap

import pytest
from cryptography.fernet import Fernet, InvalidToken, MultiFernet

import vesperkit.utils.encryption as encryption
from vesperkit.utils.encryption import MAGIC_HEADER, FileEncryptor
from hostile import BytesSub, StrSub

KEY = Fernet.generate_key().decode()
OTHER_KEY = Fernet.generate_key().decode()
THIRD_KEY = Fernet.generate_key().decode()
MISSING_KEY_MESSAGE = (
    "Encryption key required. Pass 'key' argument or set the VESPERKIT_ENCRYPTION_KEY environment "
    'variable. Generate one with: python -c "from cryptography.fernet import Fernet; '
    'print(Fernet.generate_key().decode())"'
)
MISSING_PACKAGE_MESSAGE = (
    "Encryption requires the 'cryptography' package. Install with: pip install vesperkit[encryption]"
)


@pytest.fixture
def no_env_key(monkeypatch):
    monkeypatch.delenv("VESPERKIT_ENCRYPTION_KEY", raising=False)


class TestModule:
    def test_constants(self):
        assert MAGIC_HEADER == bytes.fromhex("56534B5F454E435F56310A") == b"VSK_ENC_V1\n"
        assert encryption.ENCRYPTION_AVAILABLE is True
        assert encryption.Fernet is Fernet and encryption.InvalidToken is InvalidToken
        assert encryption.logger.name == "vesperkit.utils.encryption"


class TestConstructor:
    def test_only_state_is_the_cipher(self):
        enc = FileEncryptor(KEY)
        assert list(vars(enc)) == ["_fernet"]
        assert isinstance(enc._fernet, Fernet)

    @pytest.mark.parametrize("key", [None, ""])
    def test_missing_key(self, no_env_key, key):
        with pytest.raises(ValueError) as exc:
            FileEncryptor(key)
        assert str(exc.value) == MISSING_KEY_MESSAGE

    def test_empty_environment_variable_is_no_key(self, monkeypatch):
        monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", "")
        with pytest.raises(ValueError, match="^Encryption key required"):
            FileEncryptor()

    @pytest.mark.parametrize("key", [None, ""])
    def test_key_from_environment(self, monkeypatch, key):
        monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", KEY)
        token = FileEncryptor(key).encrypt(b"data")
        assert Fernet(KEY.encode()).decrypt(token) == b"data"

    def test_argument_wins_over_environment(self, monkeypatch):
        monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", OTHER_KEY)
        token = FileEncryptor(KEY).encrypt(b"data")
        assert Fernet(KEY.encode()).decrypt(token) == b"data"

    def test_malformed_key_error_passes_through(self):
        with pytest.raises(ValueError, match="Fernet key must be 32 url-safe base64-encoded bytes"):
            FileEncryptor("not a key")

    @pytest.mark.parametrize("source", ["argument", "environment"])
    def test_several_keys_the_first_encrypts_any_decrypts(self, monkeypatch, source):
        text = f" {KEY} ,\t{OTHER_KEY},{THIRD_KEY}\n"
        monkeypatch.setenv("VESPERKIT_ENCRYPTION_KEY", text)
        enc = FileEncryptor(text if source == "argument" else None)
        assert list(vars(enc)) == ["_fernet"] and isinstance(enc._fernet, MultiFernet)
        assert Fernet(KEY.encode()).decrypt(enc.encrypt(b"data")) == b"data"
        assert enc.decrypt(Fernet(THIRD_KEY.encode()).encrypt(b"old")) == b"old"

    @pytest.mark.parametrize("text, message", [
        (f"{KEY},", "2 of 2 is empty"), (f" , {KEY}", "1 of 2 is empty"),
        (f"{KEY},{KEY[:-4]},{OTHER_KEY}", "2 of 3 is not a valid Fernet key"),
        (f"{KEY}, {OTHER_KEY}\ud800", "2 of 2 is not a valid Fernet key"),
        (f"x{KEY},{OTHER_KEY}", "1 of 2 is not a valid Fernet key")])
    def test_bad_key_in_a_list_is_named_by_position_only(self, text, message):
        with pytest.raises(ValueError) as exc:
            FileEncryptor(text)
        error = exc.value  # nothing but the position: no key, no chained error quoting one
        assert error.args == ("Encryption key " + message,)
        assert error.__cause__ is None and error.__context__ is None and error.__suppress_context__

    def test_missing_package_is_reported_before_the_key(self, monkeypatch, no_env_key):
        monkeypatch.setattr(encryption, "ENCRYPTION_AVAILABLE", False)
        for args in [(KEY,), (), (None,)]:
            with pytest.raises(ImportError) as exc:
                FileEncryptor(*args)
            assert str(exc.value) == MISSING_PACKAGE_MESSAGE

    def test_fernet_is_looked_up_when_called(self, monkeypatch):
        made = []
        monkeypatch.setattr(encryption, "Fernet", lambda key: made.append(key) or "cipher")
        assert FileEncryptor("k").__dict__ == {"_fernet": "cipher"}
        assert made == [b"k"]


class TestFormat:
    @pytest.mark.parametrize("text", ["", "plain ascii", "non-ASCII: é ü 漢字 😀", "line\nbreaks\r\n\x00"])
    def test_round_trip(self, text):
        enc = FileEncryptor(KEY)
        assert enc.decrypt_text(enc.encrypt_text(text)) == text

    @pytest.mark.parametrize("writer, reader, readable", [
        (KEY, f"{KEY},{OTHER_KEY}", True), (KEY, f"{OTHER_KEY},{KEY}", True), (f"{KEY},{OTHER_KEY}", KEY, True),
        (f"{OTHER_KEY},{KEY}", f"{THIRD_KEY},{OTHER_KEY}", True), (f"{OTHER_KEY},{KEY}", KEY, False)])
    def test_round_trip_across_key_lists(self, writer, reader, readable):
        data = FileEncryptor(writer).encrypt_text("héllo")
        with contextlib.nullcontext() if readable else pytest.raises(InvalidToken):
            assert FileEncryptor(reader).decrypt_text(data) == "héllo"

    def test_encrypted_text_is_header_then_a_plain_fernet_token(self):
        data = FileEncryptor(KEY).encrypt_text("héllo")
        assert data[:11] == MAGIC_HEADER
        assert Fernet(KEY.encode()).decrypt(data[11:]) == "héllo".encode("utf-8")
        assert not data.endswith(b"\n")

    def test_empty_text_still_has_a_token(self):
        data = FileEncryptor(KEY).encrypt_text("")
        assert data.startswith(MAGIC_HEADER) and len(data) > len(MAGIC_HEADER)

    def test_each_encryption_differs(self):
        enc = FileEncryptor(KEY)
        a, b = enc.encrypt_text("same"), enc.encrypt_text("same")
        assert a != b
        assert enc.decrypt_text(a) == enc.decrypt_text(b) == "same"

    def test_decrypt_text_accepts_a_bare_token(self):
        enc = FileEncryptor(KEY)
        assert enc.decrypt_text(enc.encrypt("ünï".encode())) == "ünï"

    def test_decrypt_does_not_strip_the_header(self):
        enc = FileEncryptor(KEY)
        with pytest.raises(InvalidToken):
            enc.decrypt(enc.encrypt_text("x"))

    def test_only_one_header_is_stripped(self):
        enc = FileEncryptor(KEY)
        with pytest.raises(InvalidToken):
            enc.decrypt_text(MAGIC_HEADER + enc.encrypt_text("x"))

    def test_wrong_key(self):
        data = FileEncryptor(KEY).encrypt_text("secret")
        with pytest.raises(InvalidToken):
            FileEncryptor(OTHER_KEY).decrypt_text(data)

    def test_plaintext_that_is_not_utf8(self):
        enc = FileEncryptor(KEY)
        with pytest.raises(UnicodeDecodeError):
            enc.decrypt_text(enc.encrypt(b"\xff\xfe"))

    def test_text_that_utf8_cannot_hold(self):
        with pytest.raises(UnicodeEncodeError):
            FileEncryptor(KEY).encrypt_text("\ud800")

    @pytest.mark.parametrize(
        "data, expected",
        [
            (MAGIC_HEADER, True),
            (MAGIC_HEADER + b"anything", True),
            (b"", False),
            (b"VSK_ENC_V1", False),
            (b"VSK_ENC_V2\n", False),
            (b" VSK_ENC_V1\n", False),
        ],
    )
    def test_is_encrypted_is_a_prefix_test(self, data, expected):
        assert FileEncryptor.is_encrypted(data) is expected

    def test_bare_token_is_not_reported_encrypted(self):
        assert FileEncryptor.is_encrypted(FileEncryptor(KEY).encrypt(b"x")) is False

    def test_generate_key(self):
        key = FileEncryptor.generate_key()
        assert type(key) is str and len(key) == 44
        assert FileEncryptor(key).decrypt_text(FileEncryptor(key).encrypt_text("k")) == "k"
        assert key != FileEncryptor.generate_key()

    @pytest.mark.parametrize("framed", [True, False], ids=["encrypted text", "bare token"])
    @pytest.mark.parametrize("writer, keys", [(OTHER_KEY, f"{KEY},{OTHER_KEY}"), (KEY, KEY)])
    def test_rotate_reencrypts_under_the_first_key_keeping_the_timestamp(self, framed, writer, keys):
        token = Fernet(writer.encode()).encrypt_at_time("ünï".encode(), 1_000_000_000)
        data = MAGIC_HEADER + token if framed else token
        rotated = FileEncryptor(keys).rotate(data)
        assert FileEncryptor.is_encrypted(rotated) is framed and rotated != data
        fresh = Fernet(KEY.encode())
        new_token = rotated[len(MAGIC_HEADER):] if framed else rotated
        assert fresh.decrypt(new_token) == "ünï".encode()
        assert fresh.extract_timestamp(new_token) == 1_000_000_000

    def test_generate_key_without_the_package(self, monkeypatch):
        monkeypatch.setattr(encryption, "ENCRYPTION_AVAILABLE", False)
        with pytest.raises(ImportError) as exc:
            FileEncryptor.generate_key()
        assert str(exc.value) == "cryptography package is required"


class TestArgumentTypes:
    @pytest.mark.parametrize(
        "call, arg, expected, value",
        [
            (lambda v: FileEncryptor(v), "key", "str", b"key"),
            (lambda v: FileEncryptor(key=v), "key", "str", StrSub(KEY)),
            (lambda v: FileEncryptor(KEY).encrypt(v), "data", "bytes", "text"),
            (lambda v: FileEncryptor(KEY).encrypt(v), "data", "bytes", None),
            (lambda v: FileEncryptor(KEY).decrypt(v), "token", "bytes", bytearray(b"x")),
            (lambda v: FileEncryptor(KEY).encrypt_text(v), "text", "str", b"x"),
            (lambda v: FileEncryptor(KEY).encrypt_text(v), "text", "str", StrSub("x")),
            (lambda v: FileEncryptor(KEY).decrypt_text(v), "data", "bytes", BytesSub(b"x")),
            (lambda v: FileEncryptor.is_encrypted(v), "data", "bytes", None),
            (lambda v: FileEncryptor.is_encrypted(v), "data", "bytes", memoryview(MAGIC_HEADER)),
            (lambda v: FileEncryptor(KEY).rotate(v), "data", "bytes", BytesSub(MAGIC_HEADER)),
        ],
    )
    def test_exact_types(self, call, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            call(value)
        assert str(exc.value) == (
            f"Argument '{arg}' has incorrect type (expected {expected}, got {type(value).__name__})"
        )


class TestSubclassOverrides:
    def test_text_methods_go_through_the_instance(self):
        calls = []

        class Recording(FileEncryptor):
            def encrypt(self, data):
                calls.append(("encrypt", data))
                return b"<" + data + b">"

            def decrypt(self, token):
                calls.append(("decrypt", token))
                return token[1:-1]

        enc = Recording(KEY)
        assert enc.encrypt_text("hé") == MAGIC_HEADER + b"<h\xc3\xa9>"
        assert enc.decrypt_text(MAGIC_HEADER + b"<h\xc3\xa9>") == "hé"
        assert calls == [("encrypt", "hé".encode()), ("decrypt", b"<h\xc3\xa9>")]

    def test_token_held_elsewhere_is_left_unchanged(self):
        kept = []

        class Keeping(FileEncryptor):
            def encrypt(self, data):
                kept.append(super().encrypt(data))
                return kept[-1]

        out = Keeping(KEY).encrypt_text("x" * 100000)
        assert out == MAGIC_HEADER + kept[0]
        assert Fernet(KEY.encode()).decrypt(kept[0]) == b"x" * 100000

    def test_override_results_are_used_as_python_would(self):
        class Odd(FileEncryptor):
            def encrypt(self, data):
                return "not bytes"

        with pytest.raises(TypeError, match="can't concat str to bytes"):
            Odd(KEY).encrypt_text("x")


def run_without_cryptography(body, blocker="raise ImportError('blocked: ' + name)"):
    """Run `body` in a fresh interpreter in which importing cryptography fails."""
    script = textwrap.dedent(
        """
        import sys

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name == "cryptography" or name.startswith("cryptography."):
                    {blocker}
                return None

        sys.meta_path.insert(0, Blocker())
        """
    ).format(blocker=blocker) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)


class TestWithoutCryptography:
    def test_module_loads_and_refuses_only_encryption(self):
        result = run_without_cryptography(
            """
            import vesperkit.utils.encryption as e
            assert e.ENCRYPTION_AVAILABLE is False
            assert e.Fernet is None and e.InvalidToken is Exception
            assert e.FileEncryptor.is_encrypted(e.MAGIC_HEADER + b"x") is True
            for call, message in [
                (lambda: e.FileEncryptor("a key"), "Encryption requires the 'cryptography' package. "
                                                   "Install with: pip install vesperkit[encryption]"),
                (lambda: e.FileEncryptor.generate_key(), "cryptography package is required"),
            ]:
                try:
                    call()
                except ImportError as exc:
                    assert str(exc) == message, exc
                else:
                    raise AssertionError("no ImportError")
            try:
                raise ValueError("x")
            except e.InvalidToken:
                pass

            import vesperkit.auth.key_registry as kr, tempfile, os
            d = tempfile.mkdtemp()
            reg = kr.KeyRegistry(os.path.join(d, "t.json"))
            key, token = reg.create_token("n")
            assert reg.validate_token(key) is token
            try:
                kr.KeyRegistry(os.path.join(d, "t.json"), "a key")
            except ImportError:
                pass
            else:
                raise AssertionError("no ImportError")
            print("ok")
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"

    def test_other_import_failures_stop_the_module(self):
        result = run_without_cryptography(
            """
            try:
                import vesperkit.utils.encryption
            except RuntimeError as exc:
                print("raised", exc)
            """,
            blocker="raise RuntimeError('broken install')",
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "raised broken install"
