"""vesperkit.auth.postgres_registry: API keys in a PostgreSQL table, shared by processes."""

import datetime as real_datetime
import json
import multiprocessing
import signal
import threading
import time

import pytest

pytest.importorskip("psycopg_pool")  # the `postgres` extra

import vesperkit.auth.key_registry as kr
import vesperkit.auth.postgres_registry as pr
from devtools import postgres
from test_key_registry import CREATE_ARGUMENT_CASES, KEY, UPDATE_ARGUMENT_CASES, arg_type_message, frozen_datetime
from vesperkit.auth.key_registry import KeyRegistry
from vesperkit.auth.postgres_registry import PostgresKeyRegistry

pytestmark = [
    pytest.mark.postgres,
    # Forking a process whose pool has threads is what these tests are about.
    pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning"),
]
FORK = multiprocessing.get_context("fork")


@pytest.fixture
def make(pg_dsn, table_name):
    """Registries on the test's table, closed at the end."""
    made = []

    def make(encryption_key=None, cls=PostgresKeyRegistry, **kwargs):
        made.append(cls(pg_dsn, table_name, encryption_key, **kwargs))
        return made[-1]

    yield make
    for registry in made:
        registry.close()


@pytest.fixture
def registry(make):
    return make()


def counted(**overrides):
    """A registry class whose keys and ids are numbered, so that two registries issue the same."""

    class Counted(overrides.pop("base")):
        n = 0

        def _generate_key(self):
            Counted.n += 1
            return f"{self.TOKEN_PREFIX}{Counted.n:043d}"

        def _generate_token_id(self):
            return f"tok_{Counted.n + 1:016x}"

    return Counted


def scenario(reg):
    """The same calls on any registry; what they return, tokens as their dict form."""
    shown = lambda r: r.to_dict() if isinstance(r, kr.Token) else [shown(x) for x in r] if isinstance(r, list) else r
    results = []
    k1, t1 = reg.create_token("Zoë 漢字", permissions=[], metadata={"a": [1, 2.5, None], "é": "\t"})
    k2, t2 = reg.create_token("limited", permissions=["admin"], rate_limit=2.9, expires_days=0)
    k3, t3 = reg.create_token("expired", expires_days=-1)
    results += [shown(t1), shown(t2), shown(t3)]
    results += [shown(reg.validate_token(k)) for k in (k1, k2, k2, k2, k3, k1[:-1] + "x", "", k1[4:])]
    results += [reg.revoke_token(t1.token_id), reg.revoke_token("tok_missing"), reg.validate_token(k1)]
    results += [shown(reg.update_token(t2.token_id, name="", permissions=[], rate_limit=0.5, metadata={"b": 2}))]
    results += [shown(reg.update_token(t1.token_id, metadata={"a": "replaced", "c": {}}))]
    results += [reg.update_token("tok_missing", name="x")]
    k4 = reg.regenerate_key(t1.token_id)
    results += [k4, reg.validate_token(k4), shown(reg.get_token(t2.token_id)), reg.get_token("tok_missing")]
    results += [shown(reg.list_tokens()), shown(reg.list_tokens("yes"))]
    results += [reg.delete_token(t3.token_id), reg.delete_token(t3.token_id), shown(reg.list_tokens(True))]
    results += [reg.regenerate_key("tok_missing")]
    return results


class TestSameResultsAsKeyRegistry:
    @pytest.mark.parametrize("encrypted", [False, True])
    def test_scenario(self, make, tmp_path, monkeypatch, encrypted):
        frozen_datetime(monkeypatch, real_datetime.datetime(2030, 1, 2, 3, 4, 5, 6), (kr, pr))
        key = KEY if encrypted else None
        expected = scenario(counted(base=KeyRegistry)(str(tmp_path / "t.json"), key))
        assert scenario(make(key, cls=counted(base=PostgresKeyRegistry))) == expected
        # ... and the table exports to the file KeyRegistry wrote.
        make(key).export_tokens(str(tmp_path / "export.json"))
        if not encrypted:
            assert (tmp_path / "export.json").read_bytes() == (tmp_path / "t.json").read_bytes()
        assert KeyRegistry(str(tmp_path / "export.json"), key).tokens == KeyRegistry(str(tmp_path / "t.json"), key).tokens

    @pytest.mark.parametrize("kwargs, arg, expected, value", CREATE_ARGUMENT_CASES)
    def test_create_argument_checks(self, registry, kwargs, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            registry.create_token(**kwargs)
        assert str(exc.value) == arg_type_message(arg, expected, value)

    @pytest.mark.parametrize("args, kwargs, arg, expected, value", UPDATE_ARGUMENT_CASES)
    def test_update_argument_checks(self, registry, args, kwargs, arg, expected, value):
        with pytest.raises(TypeError) as exc:
            registry.update_token(*args, **kwargs)
        assert str(exc.value) == arg_type_message(arg, expected, value)

    @pytest.mark.parametrize("arg", ["permissions", "metadata"])
    @pytest.mark.parametrize("value, error, reason", [
        ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
        ("cycle", ValueError, "Circular reference detected"),
    ])
    def test_values_json_cannot_hold_are_refused_before_anything_changes(self, registry, arg, value, error, reason):
        _, token = registry.create_token("n")
        if value == "cycle":
            value = []
            value.append(value)
        value = [value] if arg == "permissions" else {"v": value}
        for call in (lambda: registry.create_token("m", **{arg: value}),
                     lambda: registry.update_token(token.token_id, name="changed", **{arg: value})):
            with pytest.raises(error) as exc:
                call()
            assert str(exc.value) == f"Argument '{arg}' cannot be stored: {reason}"
        assert registry.list_tokens() == [token]

    @pytest.mark.parametrize("table", ["", "__", "a-b", "a b", "a.b", "a;b", "a'b"])
    def test_table_name_rule_of_the_vector_store(self, pg_dsn, table):
        with pytest.raises(ValueError) as exc:
            PostgresKeyRegistry(pg_dsn, table)
        assert str(exc.value) == f"Invalid table name {table!r}"


class TestTable:
    def test_schema_is_idempotent_and_rows_are_snapshots(self, make, pg_admin, table_name):
        reg = make()
        key, token = reg.create_token("n", metadata={"a": 1})
        make()  # a second construction changes nothing
        token.metadata["a"] = 2
        assert reg.get_token(token.token_id).metadata == {"a": 1}
        indexes = {r[0] for r in pg_admin.execute("SELECT indexdef FROM pg_indexes WHERE tablename = %s", (table_name,))}
        assert f"CREATE UNIQUE INDEX {table_name}_hashed_key ON public.{table_name} USING btree (hashed_key)" in indexes

    def test_encrypted_columns(self, make, pg_admin, table_name):
        reg = make(KEY)
        key, token = reg.create_token("secret name", metadata={"m": "secret"})
        row = pg_admin.execute(f"SELECT name, permissions, metadata, hashed_key, encrypted FROM {table_name}").fetchone()
        assert all(v.startswith("VSK_ENC_V1\n") for v in row[:3]) and row[3:] == (token.hashed_key, True)
        assert reg.validate_token(key).name == "secret name"
        with pytest.raises(ValueError, match="is stored encrypted"):
            make().list_tokens()

    def test_rotate_encryption_moves_every_row_to_the_first_key(self, make, pg_admin, table_name):
        from cryptography.fernet import Fernet, InvalidToken

        new = Fernet.generate_key().decode()
        sealed = f"SELECT metadata FROM {table_name} ORDER BY seq DESC LIMIT 1"
        make().create_token("plain", metadata={"p": 1})
        old_key, _ = make(KEY).create_token("sealed", metadata={"s": 2})
        made_at = Fernet(KEY).extract_timestamp(pg_admin.execute(sealed).fetchone()[0][11:].encode())
        with pytest.raises(ValueError, match="needs an encryption key"):
            make().rotate_encryption()
        assert make(f"{new}, {KEY}").rotate_encryption(batch_size=1) == 2
        only_new = make(new)
        assert [t.name for t in only_new.list_tokens()] == ["plain", "sealed"]
        assert only_new.validate_token(old_key).metadata == {"s": 2}
        assert pg_admin.execute(f"SELECT bool_and(encrypted) FROM {table_name}").fetchone() == (True,)
        assert Fernet(new).extract_timestamp(pg_admin.execute(sealed).fetchone()[0][11:].encode()) == made_at
        with pytest.raises(InvalidToken):
            make(KEY).list_tokens()

    def test_window_expires_after_60_seconds_of_the_server_clock(self, registry, pg_admin, table_name):
        key, token = registry.create_token("n", rate_limit=2)
        window = "ARRAY[now() - interval '60 seconds', now() - interval '59 seconds']"
        pg_admin.execute(f"UPDATE {table_name} SET recent_uses = {window}")
        assert registry.validate_token(key) is not None  # the entry 60 seconds old no longer counts
        assert registry.validate_token(key) is None
        assert pg_admin.execute(f"SELECT cardinality(recent_uses) FROM {table_name}").fetchone() == (2,)

    def test_database_down_raises(self, pg_dsn, table_name):
        reg = PostgresKeyRegistry(pg_dsn, table_name, pool_timeout=0.5)
        key, _ = reg.create_token("n")
        reg.close()
        reg._dsn = "host=/nonexistent dbname=none"
        with pytest.raises(pr.psycopg.OperationalError):
            reg.validate_token(key)
        reg.close()


def validate_many(registry, key, start, results):
    start.wait()
    results.put(sum(registry.validate_token(key) is not None for _ in range(40)))


class TestProcesses:
    def test_four_processes_share_one_rate_limit(self, registry, pg_admin, table_name):
        key, _ = registry.create_token("n", rate_limit=50)
        start, results = FORK.Barrier(4), FORK.Queue()
        workers = [FORK.Process(target=validate_many, args=(registry, key, start, results)) for _ in range(4)]
        for w in workers:
            w.start()
        assert sum(results.get(timeout=60) for _ in workers) == 50
        for w in workers:
            w.join()
        assert pg_admin.execute(f"SELECT cardinality(recent_uses) FROM {table_name}").fetchone() == (50,)

    def test_forked_child_sees_revoke_and_regenerate_at_its_next_call(self, registry):
        k1, t1 = registry.create_token("a")
        k2, t2 = registry.create_token("b")
        to_child, from_child = FORK.Queue(), FORK.Queue()

        def child():  # uses the registry object (and pool) it inherited
            while (key := to_child.get()) is not None:
                from_child.put(registry.validate_token(key) is not None)

        worker = FORK.Process(target=child)
        worker.start()
        answers = []
        for change in (None, lambda: registry.revoke_token(t1.token_id), lambda: registry.regenerate_key(t2.token_id)):
            if change:
                change()
            for key in (k1, k2):
                to_child.put(key)
                answers.append(from_child.get(timeout=30))
        to_child.put(None)
        worker.join()
        assert answers == [True, True, False, True, False, False]
        assert registry.validate_token(k1) is None  # the parent's sessions survived the child

    def test_killed_worker_leaves_the_table_consistent(self, make, pg_dsn, table_name):
        reg = make(KEY)

        def churn():
            while True:
                _, t = reg.create_token("x", metadata={"pad": "y" * 200})
                reg.update_token(t.token_id, metadata={"more": 1}, permissions=["admin"])
                reg.regenerate_key(t.token_id)
                reg.delete_token(t.token_id) if t.token_id[-1] in "02468ace" else reg.revoke_token(t.token_id)

        for pause in (0.3, 0.5, 0.7):
            worker = FORK.Process(target=churn)
            worker.start()
            time.sleep(pause)
            worker.kill()
            worker.join()
        tokens = reg.list_tokens(True)  # every row decrypts and decodes
        assert tokens and all(t.permissions in (["read", "write"], ["admin"]) for t in tokens)
        assert all(t.metadata in ({"pad": "y" * 200}, {"pad": "y" * 200, "more": 1}) for t in tokens)
        assert worker.exitcode == -signal.SIGKILL


class TestServerRestart:
    def test_no_acknowledged_token_is_lost(self):
        with postgres.dedicated_server("restart") as (dsn, restart):
            reg = PostgresKeyRegistry(dsn, "tokens", pool_size=2, pool_timeout=2.0)
            acknowledged, failures, stop = [], [], threading.Event()

            def load():
                while not stop.is_set():
                    try:
                        acknowledged.append(reg.create_token("n")[1].token_id)
                    except pr.psycopg.Error as exc:
                        failures.append(exc)

            threads = [threading.Thread(target=load) for _ in range(2)]
            for t in threads:
                t.start()
            time.sleep(1.0)
            restart(0.5)
            time.sleep(1.0)
            stop.set()
            for t in threads:
                t.join()
            before = len(acknowledged)
            key, token = reg.create_token("after")  # the next call works
            assert reg.validate_token(key) == reg.get_token(token.token_id)
            stored = {t.token_id for t in reg.list_tokens()}
            assert set(acknowledged) <= stored and before > 0
            restart(0.0)  # idle connections closed by the server are not handed out
            assert reg.validate_token(key) is not None
            reg.close()


class TestMigration:
    @pytest.mark.parametrize("encrypted", [False, True])
    def test_import_then_export_reproduces_the_file(self, make, tmp_path, encrypted):
        key = KEY if encrypted else None
        source = KeyRegistry(str(tmp_path / "tokens.json"), key)
        for i in range(3):
            k, t = source.create_token(f"t{i} ✓", metadata={"i": i, "z": [1.5, None]}, expires_days=i or None)
            source.validate_token(k)
        source.revoke_token(t.token_id)
        reg = make(KEY)
        assert reg.import_tokens(str(tmp_path / "tokens.json"), key) == 3
        assert reg.export_tokens(str(tmp_path / "out.json"), key) == 3
        if encrypted:
            decrypt = lambda name: pr.FileEncryptor(key=KEY).decrypt_text((tmp_path / name).read_bytes())
            assert decrypt("out.json") == decrypt("tokens.json")
        else:
            assert (tmp_path / "out.json").read_bytes() == (tmp_path / "tokens.json").read_bytes()
        assert oct((tmp_path / "out.json").stat().st_mode & 0o777) == "0o600"

    @pytest.mark.parametrize("change, message", [
        ({"rate_limit": "5"}, "rate_limit is '5'"),
        ({"token_id": "other"}, "its token_id is 'other'"),
        ({"expires_at": "soon"}, "Invalid isoformat string: 'soon'"),
    ])
    def test_a_bad_file_imports_nothing(self, registry, tmp_path, change, message):
        source = KeyRegistry(str(tmp_path / "tokens.json"))
        source.create_token("good")
        _, bad = source.create_token("bad")
        data = {t: tok.to_dict() for t, tok in source.tokens.items()}
        data[bad.token_id].update(change)
        (tmp_path / "tokens.json").write_text(json.dumps(data), "utf-8")
        with pytest.raises(ValueError, match=message):
            registry.import_tokens(str(tmp_path / "tokens.json"))
        assert registry.list_tokens(True) == []
