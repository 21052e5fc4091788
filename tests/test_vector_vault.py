"""vesperkit.memory.backends.vector_vault: PostgresVectorBackend.

Behaviour is checked against a real PostgreSQL server with pgvector (see the
fixtures in conftest.py); the exact statements, the parameter order and the
connection rules are also checked against a recording stand-in for the driver,
substituted through the module's `psycopg` and `register_vector` globals.
"""

import contextlib
import gc
import json
import math
import os
import random
import secrets
import signal
import threading
import time
import types

import psycopg
import pytest
from pgvector import Vector
from pgvector.psycopg import register_vector

from vesperkit.memory.backends import vector_vault as vv
from vesperkit.memory.backends.vector_vault import PostgresVectorBackend
from fakes import VERSION_SQL, FakeCursor, FakeError, flat, install_driver
from hostile import QUERY_TEXTS, DictSub, StrSub

ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
SEARCH_SETTINGS_SQL = (
    "SELECT set_config('hnsw.iterative_scan', 'strict_order', false), "
    "set_config('hnsw.max_scan_tuples', '2147483647', false), "
    "set_config('hnsw.scan_mem_multiplier', '1000', false), "
    "set_config('hnsw.ef_search', least(1000, greatest(200, "
    "CASE WHEN current_setting('hnsw.ef_search', true) ~ '^[0-9]{1,9}$' "
    "THEN current_setting('hnsw.ef_search', true)::int ELSE 0 END))::text, false)"
)
SEARCH_SQL = "SELECT record, 1 - (embedding <=> %s) AS score FROM {} WHERE embedding IS NOT NULL{} ORDER BY embedding <=> %s LIMIT %s"
BOUND_SQL = ("WITH bound AS (SELECT greatest(5000, 20 * sqrt(greatest(reltuples, 0)))::bigint AS n, "
             "greatest(reltuples, 0) AS total FROM pg_class WHERE oid = '{0}'::regclass)")
COUNT_SQL = "(SELECT count(*) < (SELECT n FROM bound) FROM (SELECT FROM {0} WHERE {1} LIMIT (SELECT n FROM bound)) c)"
GUESS_SQL = (", guess AS (SELECT CASE WHEN count(*) = {1} THEN (SELECT total FROM bound) * exp(sum(ln(greatest(sel, 1e-9)))) "
             "END AS n FROM (SELECT coalesce(s.most_common_freqs[array_position(s.most_common_vals::text::text[], v.val)], "
             "(1 - s.null_frac - coalesce((SELECT sum(f) FROM unnest(s.most_common_freqs) f), 0)) / greatest(1, "
             "CASE WHEN s.n_distinct < 0 THEN -s.n_distinct * (SELECT total FROM bound) ELSE s.n_distinct END "
             "- coalesce(cardinality(s.most_common_freqs), 0))) AS sel FROM (VALUES {2}) v(col, val) "
             "JOIN pg_stats s ON s.attname = v.col WHERE s.schemaname = current_schema() AND s.tablename = '{0}' "
             "AND NOT s.inherited) e)")


def scope_is_small_sql(table, clause):
    """The statement deciding whether a scope is ranked exactly."""
    if clause == "id = ANY(%s)":
        return (BOUND_SQL.format(table) + " SELECT cardinality(%s::text[]) < (SELECT n FROM bound) OR "
                + COUNT_SQL.format(table, clause))
    columns = [part.split(" = ")[0] for part in clause.split(" AND ")]
    values = ", ".join(f"('{c}', %s::text)" for c in columns)
    return (BOUND_SQL.format(table) + GUESS_SQL.format(table, len(columns), values)
            + " SELECT CASE WHEN (SELECT n FROM guess) >= 4 * (SELECT n FROM bound) THEN false ELSE "
            + COUNT_SQL.format(table, clause) + " END")


EXACT_SEARCH_SQL = ("SELECT record, 1 - d AS score FROM (SELECT record, embedding <=> %s AS d FROM {} "
                    "WHERE embedding IS NOT NULL AND {} OFFSET 0) ranked ORDER BY d LIMIT %s")


def rec(memory_id, **fields):
    return {"id": memory_id, "summary": f"summary {memory_id}", "embedding": [1.0, 0.0, 0.0], **fields}


# ---------------------------------------------------------------- the recording driver (tests/fakes.py)


NEW_CONNECTION = ["register_vector", VERSION_SQL, SEARCH_SETTINGS_SQL]


@pytest.fixture
def fake(monkeypatch):
    driver = install_driver(monkeypatch, vv, sockets=True)
    yield driver
    driver.close_sockets()


@pytest.fixture
def fb(fake):
    """A backend on the stand-in driver, its construction already recorded and forgotten."""
    backend = PostgresVectorBackend("dbname=fake", embedding_dim=3, table="mem")
    fake.log.clear()
    return backend


def kinds(log):
    return [entry[0] for entry in log]


# ---------------------------------------------------------------- real-database fixtures


def close_connection(backend):
    conn = backend.__dict__.get("_connection")
    if conn is not None and not conn.closed:
        conn.close()


@pytest.fixture
def make_backend(pg_dsn, table_name):
    """Backends on the scratch database (by default on the test's own table); closed afterwards."""
    made = []

    def make(cls=PostgresVectorBackend, *, dsn=None, table=None, embedding_dim=3, **kwargs):
        backend = cls.__new__(cls)
        made.append(backend)  # tracked before construction, which may fail after connecting
        backend.__init__(dsn or pg_dsn, embedding_dim=embedding_dim, table=table or table_name, **kwargs)
        return backend

    yield make
    for backend in made:
        close_connection(backend)


@pytest.fixture
def backend(make_backend):
    return make_backend()


def columns(admin, table, memory_id):
    return admin.execute(
        f"SELECT tenant_id, user_id, session_id, summary, embedding IS NULL FROM {table} WHERE id = %s",
        (memory_id,),
    ).fetchone()


def run_in_child(fn, timeout=30):
    """Run fn() in a forked child; return (exit code, its JSON result or error)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        code = 1
        try:
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(timeout)  # a deadlocked child dies instead of hanging the suite
            payload = json.dumps(fn())
            code = 0
        except BaseException as exc:
            payload = json.dumps({"error": repr(exc)})
        finally:
            with contextlib.suppress(BaseException):
                os.write(write_end, payload.encode())
            os._exit(code)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 65536):
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    data = b"".join(chunks)
    return os.waitstatus_to_exitcode(status), json.loads(data) if data else None


# ================================================================ module and class


class TestModuleShape:
    def test_conn_is_a_generator_based_context_manager(self, fb):
        assert type(fb._conn()) is contextlib._GeneratorContextManager
        assert PostgresVectorBackend._conn.__qualname__ == "PostgresVectorBackend._conn"

    def test_state_attributes_in_order(self, fb, fake):
        assert list(vars(fb)) == ["_dsn", "_dim", "_table", "_ext_ensured", "_connection", "_conn_pid",
                                  "_conn_lock"]
        assert fb._connection is fake.connections[0] and fb._conn_pid == os.getpid()
        assert type(fb._conn_lock) is type(threading.Lock()) and fb._ext_ensured is True


# ================================================================ argument checks


class TestArguments:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {"embedding_dim": 3}, "__init__() takes exactly 2 positional arguments (1 given)"),
        (("d", "x"), {"embedding_dim": 3}, "__init__() takes exactly 2 positional arguments (3 given)"),
        (("d",), {}, "__init__() needs keyword-only argument embedding_dim"),
        ((b"d",), {"embedding_dim": 3}, ARG_TYPE.format("dsn", "str", "bytes")),
        ((StrSub("d"),), {"embedding_dim": 3}, ARG_TYPE.format("dsn", "str", "StrSub")),
        (("d",), {"embedding_dim": "384"}, ARG_TYPE.format("embedding_dim", "int", "str")),
        (("d",), {"embedding_dim": None}, ARG_TYPE.format("embedding_dim", "int", "NoneType")),
        (("d",), {"embedding_dim": 3, "table": None}, ARG_TYPE.format("table", "str", "NoneType")),
    ])
    def test_constructor_argument_errors_send_nothing(self, fake, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            PostgresVectorBackend(*args, **kwargs)
        assert str(info.value) == message
        assert fake.log == []

    @pytest.mark.parametrize("name", ["", "___", "my-table", "my table", "a.b", "a;b", "a'b", 'a"b', "t\n",
                                      "t;DROP TABLE x"])
    def test_invalid_table_names_are_refused_before_anything_is_sent(self, fake, name):
        backend = PostgresVectorBackend.__new__(PostgresVectorBackend)
        with pytest.raises(ValueError) as info:
            backend.__init__("d", embedding_dim=3, table=name)
        assert str(info.value) == "Invalid table name " + repr(name)
        assert fake.log == [] and list(vars(backend)) == ["_dsn", "_dim"]

    @pytest.mark.parametrize("name", ["memories", "memories_2", "a_b", "_x", "mémoires", "表"])
    def test_letters_digits_and_underscores_of_any_script_are_accepted(self, fake, name):
        assert PostgresVectorBackend("d", embedding_dim=3, table=name)._table == name

    @pytest.mark.parametrize("value, stored", [(384.9, 384), (True, 1), (7, 7)])
    def test_embedding_dim_is_converted_to_int(self, fake, value, stored):
        backend = PostgresVectorBackend("d", embedding_dim=value, table="t")
        assert type(backend._dim) is int and backend._dim == stored
        assert any(s.endswith(f"embedding vector({stored}) )") for s in fake.statements())

    @pytest.mark.parametrize("call, message", [
        (lambda b: b.add(None), ARG_TYPE.format("record", "dict", "NoneType")),
        (lambda b: b.add(DictSub(id="a")), ARG_TYPE.format("record", "dict", "DictSub")),
        (lambda b: b.add_batch(({"id": "a"},)), ARG_TYPE.format("records", "list", "tuple")),
        (lambda b: b.get(1), ARG_TYPE.format("memory_id", "str", "int")),
        (lambda b: b.update(1, []), ARG_TYPE.format("memory_id", "str", "int")),
        (lambda b: b.update("a", []), ARG_TYPE.format("fields", "dict", "list")),
        (lambda b: b.delete(None), ARG_TYPE.format("memory_id", "str", "NoneType")),
        (lambda b: b.vector_search((1.0,), top_k=1, threshold=0), ARG_TYPE.format("query_embedding", "list", "tuple")),
        (lambda b: b.vector_search([1.0], top_k=1, threshold=0, tenant_id=1), ARG_TYPE.format("tenant_id", "str", "int")),
        (lambda b: b.vector_search([1.0], top_k=1, threshold=0, allowed_ids=["a"]),
         ARG_TYPE.format("allowed_ids", "set", "list")),
        (lambda b: b.vector_search([1.0], top_k=1, threshold=0, allowed_ids=frozenset("a")),
         ARG_TYPE.format("allowed_ids", "set", "frozenset")),
        (lambda b: b.vector_search([1.0], top_k="3", threshold=0), ARG_TYPE.format("top_k", "int", "str")),
        (lambda b: b.vector_search([1.0], threshold=0), "vector_search() needs keyword-only argument top_k"),
        (lambda b: b.vector_search([1.0]), "vector_search() needs keyword-only argument top_k"),
        (lambda b: b.vector_search([1.0], top_k=1), "vector_search() needs keyword-only argument threshold"),
        (lambda b: b.vector_search([1.0], [], top_k=1, threshold=0),
         "vector_search() takes exactly 2 positional arguments (3 given)"),
        (lambda b: b.hybrid_search(None, [1.0], top_k=1), ARG_TYPE.format("query_text", "str", "NoneType")),
        (lambda b: b.hybrid_search("q", (1.0,), top_k=1), ARG_TYPE.format("query_embedding", "list", "tuple")),
        (lambda b: b.hybrid_search("q", [1.0], top_k="1"), ARG_TYPE.format("top_k", "int", "str")),
        (lambda b: b.hybrid_search("q", [1.0]), "hybrid_search() needs keyword-only argument top_k"),
        (lambda b: b.hybrid_search("q", [1.0], 3, top_k=1), "hybrid_search() takes exactly 3 positional arguments (4 given)"),
        (lambda b: b.hybrid_search("q", [1.0], top_k=1, user_id=1), ARG_TYPE.format("user_id", "str", "int")),
        (lambda b: b.hybrid_search("q", [1.0], top_k=1, allowed_ids=["a"]), ARG_TYPE.format("allowed_ids", "set", "list")),
        (lambda b: b.hybrid_search("q", [1.0], top_k=1, text_search_config=None),
         ARG_TYPE.format("text_search_config", "str", "NoneType")),
        (lambda b: b.create_text_index(StrSub("simple")), ARG_TYPE.format("text_search_config", "str", "StrSub")),
        (lambda b: b.all_records("t"), "all_records() takes exactly 1 positional argument (2 given)"),
        (lambda b: b.all_records(user_id=b"u"), ARG_TYPE.format("user_id", "str", "bytes")),
        (lambda b: b.stats(session_id=1), ARG_TYPE.format("session_id", "str", "int")),
        (lambda b: b.clear(1), ARG_TYPE.format("tenant_id", "str", "int")),
        (lambda b: b.clear("t", "u", "s", "x"), "clear() takes at most 4 positional arguments (5 given)"),
        (lambda b: b.convert_storage_format(None), ARG_TYPE.format("new_format", "str", "NoneType")),
        (lambda b: b.convert_storage_format("json", 1), ARG_TYPE.format("new_file", "str", "int")),
    ])
    def test_operation_argument_errors_send_nothing(self, fb, fake, call, message):
        with pytest.raises(TypeError) as info:
            call(fb)
        assert str(info.value) == message
        assert fake.log == []

    @pytest.mark.parametrize("config", ["", "English", "pg_catalog.simple", "simple'", "1abc", "a" * 64, "simple;"])
    def test_text_search_configurations_other_than_plain_identifiers_are_refused(self, fb, fake, config):
        for call in (lambda: fb.hybrid_search("q", [1.0], top_k=1, text_search_config=config),
                     lambda: fb.create_text_index(config)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == "Invalid text search configuration " + repr(config)
        assert fake.log == []

    def test_threshold_conversion_error_is_the_conversions_own(self, fb):
        with pytest.raises(TypeError, match="must be real number, not str"):
            fb.vector_search([1.0], top_k=1, threshold="0.5")

    @pytest.mark.parametrize("fmt, new_file", [("json", None), ("sqlite", "x.db"), ("", "")])
    def test_convert_storage_format_always_refuses(self, fb, fake, fmt, new_file):
        with pytest.raises(NotImplementedError) as info:
            fb.convert_storage_format(fmt, new_file)
        assert str(info.value) == ("convert_storage_format is a flat-file operation; "
                                   "the Vector vault has no on-disk format to convert.")
        assert fake.log == []


# ================================================================ statements sent


class TestStatements:
    @pytest.mark.parametrize("reset", [False, True])
    def test_construction_statements(self, fake, reset):
        PostgresVectorBackend("host=x dbname=y", embedding_dim=5, table="mem", reset=reset)
        assert kinds(fake.log) == ["connect", "CREATE EXTENSION IF NOT EXISTS vector", *NEW_CONNECTION,
                                   *(["DROP TABLE IF EXISTS mem"] if reset else []),
                                   "CREATE TABLE IF NOT EXISTS mem ( id text PRIMARY KEY, tenant_id text, "
                                   "user_id text, session_id text, summary text, record jsonb NOT NULL, "
                                   "embedding vector(5) )",
                                   "ALTER TABLE mem ADD COLUMN IF NOT EXISTS tenant_id text",
                                   "CREATE INDEX IF NOT EXISTS mem_scope ON mem(tenant_id, user_id, session_id)",
                                   "CREATE INDEX IF NOT EXISTS mem_emb ON mem USING hnsw (embedding vector_cosine_ops)"]
        assert fake.log[0] == ("connect", "host=x dbname=y", True)

    def test_add_statement_and_parameter_order(self, fb, fake):
        emb = [0.5, 0.5, 0.0]
        record = {"summary": "s", "id": "a", "user_id": "u", "tenant_id": "t", "source": {"session_id": "s1"},
                  "embedding": emb, "extra": [1, {"k": None}]}
        fb.add(record)
        (ping, _), (sql, params) = fake.log
        assert ping == "SELECT 1"
        assert sql == ("INSERT INTO mem(id, tenant_id, user_id, session_id, summary, record, embedding) "
                       "VALUES (%s, %s, %s, %s, %s, %s, %s) ON CONFLICT (id) DO UPDATE "
                       "SET tenant_id = EXCLUDED.tenant_id, user_id = EXCLUDED.user_id, "
                       "session_id = EXCLUDED.session_id, summary = EXCLUDED.summary, "
                       "record = EXCLUDED.record, embedding = EXCLUDED.embedding")
        assert params == ("a", "t", "u", "s1", "s", json.dumps(record), emb)
        assert type(params) is tuple and params[6] is emb

    @pytest.mark.parametrize("call, sql, params, result", [
        (lambda b: b.get("a"), "SELECT record FROM mem WHERE id = %s", ("a",), None),
        (lambda b: b.update("a", {"x": 1}), "UPDATE mem SET record = record || %s::jsonb WHERE id = %s",
         ('{"x": 1}', "a"), False),
        (lambda b: b.delete("a"), "DELETE FROM mem WHERE id = %s", ("a",), False),
    ])
    def test_single_record_statements(self, fb, fake, call, sql, params, result):
        assert call(fb) is result
        assert fake.log == [("SELECT 1", None), (sql, params)]

    @pytest.mark.parametrize("rowcount, changed", [(1, True), (3, True), (0, False), (-1, False)])
    def test_update_and_delete_report_rowcount_above_zero(self, fb, fake, rowcount, changed):
        fake.answers["UPDATE mem SET record = record || %s::jsonb WHERE id = %s"] = FakeCursor(rowcount=rowcount)
        fake.answers["DELETE FROM mem WHERE id = %s"] = FakeCursor(rowcount=rowcount)
        assert fb.update("a", {}) is changed and fb.delete("a") is changed

    @pytest.mark.parametrize("scope, clause, values", [
        ({"tenant_id": "t"}, "tenant_id = %s", ["t"]),
        ({"session_id": "s", "tenant_id": "t"}, "tenant_id = %s AND session_id = %s", ["t", "s"]),
        ({"user_id": "u", "session_id": "s"}, "user_id = %s AND session_id = %s", ["u", "s"]),
        ({"tenant_id": "t", "user_id": "u", "session_id": "s"},
         "tenant_id = %s AND user_id = %s AND session_id = %s", ["t", "u", "s"]),
        ({"tenant_id": "t", "allowed_ids": {"a"}}, "id = ANY(%s)", [["a"]]),
    ])
    @pytest.mark.parametrize("small", [True, False, None])
    def test_scope_is_counted_then_ranked_exactly_or_through_the_index(self, fb, fake, scope, clause, values, small):
        count_sql = scope_is_small_sql("mem", clause)
        if small is not None:
            fake.answers[count_sql] = FakeCursor([(small,)])
        fb.vector_search([1.0, 0.0, 0.0], top_k=2.9, threshold=0, **scope)
        q = Vector([1.0, 0.0, 0.0])
        assert fake.log[-2] == (count_sql, values * 2)
        if small:
            assert fake.log[-1] == (EXACT_SEARCH_SQL.format("mem", clause), [q, *values, 2])
        else:
            assert fake.log[-1] == (SEARCH_SQL.format("mem", " AND " + clause), [q, *values, q, 2])

    @pytest.mark.parametrize("embedding, small, ranking", [
        ([1.0, 0.0, 0.0], True, "OFFSET 0) e ORDER BY d LIMIT 40)"),
        ([1.0, 0.0, 0.0], False, "ORDER BY embedding <=> %(query)s LIMIT 40)"), ([], None, "FROM txt JOIN mem m"),
    ])
    def test_hybrid_ranks_a_small_scope_exactly_and_answers_by_words_without_embedding(
            self, fb, fake, embedding, small, ranking):
        fake.answers[scope_is_small_sql("mem", "tenant_id = %s")] = FakeCursor([(small,)])
        fb.hybrid_search("a b", embedding, top_k=10.5, tenant_id="t")
        sql, params = fake.log[-1]
        expected = {"text": "a b", "top_k": 10, "tenant_id": "t", "common": "{}"}
        if embedding:
            expected["query"] = Vector(embedding)
        assert ranking in sql and params == expected
        assert [e[0] for e in fake.log].count(scope_is_small_sql("mem", "tenant_id = %s")) == (small is not None)

    def test_hybrid_reads_common_words_once_a_minute_and_after_create_text_index(self, fb, fake):
        # 1,000 rows; words in 500, 200, 100 and 50 of them (the frequencies end with minimum, maximum, nulls).
        fake.answers[COMMON_WORDS_SQL] = FakeCursor(
            [(1000.0, ["plain", 'quo"te', "back\\slash", "rare"], [0.2, 0.5, 0.1, 0.05, 0.05, 0.5, 0.0])])
        for top_k in (1, 2):  # a look-up cap of 88, then 96
            fb.hybrid_search("a b", [], top_k=top_k)
            assert fake.log[-1][1]["common"] == COMMON_WORDS_LITERAL
        assert kinds(fake.log).count(COMMON_WORDS_SQL) == 1
        fb.create_text_index()
        fb.hybrid_search("a b", [], top_k=1)
        assert kinds(fake.log).count(COMMON_WORDS_SQL) == 2

    def test_hybrid_without_embedding_and_text_or_with_no_ids_sends_nothing(self, fb, fake):
        assert fb.hybrid_search("", [], top_k=3) == []
        assert fb.hybrid_search("q", [1.0], top_k=3, allowed_ids=set(), tenant_id="t") == []
        assert fake.log == []

    def test_unscoped_search_statement_and_parameters(self, fb, fake):
        fb.vector_search([1.0, 0.0, 0.0], top_k=2.9, threshold=0)
        sql, params = fake.log[-1]
        assert fake.log[-2][0] == "SELECT 1" and sql == SEARCH_SQL.format("mem", "")
        assert type(params) is list and params == [Vector([1.0, 0.0, 0.0])] * 2 + [2] and params[0] is params[1]

    @pytest.mark.parametrize("scope, where, values", [
        ({}, "", []),
        ({"user_id": "u"}, " WHERE user_id = %s", ["u"]),
        ({"tenant_id": "t", "session_id": "s"}, " WHERE tenant_id = %s AND session_id = %s", ["t", "s"]),
    ])
    def test_listing_count_and_clear_statements(self, fb, fake, scope, where, values):
        fake.answers["SELECT count(*) FROM mem" + where] = FakeCursor([(7,)])
        assert fb.all_records(**scope) == []
        assert fb.stats(**scope) == {"count": 7}
        assert fb.clear(**scope) is None
        sent = [entry for entry in fake.log if entry[0] != "SELECT 1"]
        assert sent == [("SELECT record FROM mem" + where, values), ("SELECT count(*) FROM mem" + where, values),
                        ("DELETE FROM mem" + where, values)]


# ================================================================ the connection scope


class TestConnectionScope:
    def test_lock_is_held_inside_the_block_and_released_after_it(self, fb, fake):
        with fb._conn() as conn:
            assert conn is fake.connections[0] and fb._conn_lock.locked()
        assert not fb._conn_lock.locked()
        boom = KeyError("boom")
        with pytest.raises(KeyError) as info:
            with fb._conn():
                raise boom
        assert info.value is boom and not fb._conn_lock.locked()

    def test_generator_protocol(self, fb, fake):
        gen = PostgresVectorBackend._conn.__wrapped__(fb)
        assert iter(gen) is gen and not fb._conn_lock.locked()  # nothing happens before the first next
        assert next(gen) is fake.connections[0] and fb._conn_lock.locked()
        exc = ValueError("x")
        with pytest.raises(ValueError) as info:
            gen.throw(exc)
        assert info.value is exc and not fb._conn_lock.locked()
        with pytest.raises(StopIteration):
            next(gen)
        gen = PostgresVectorBackend._conn.__wrapped__(fb)
        next(gen)
        gen.close()
        assert not fb._conn_lock.locked()
        gen = PostgresVectorBackend._conn.__wrapped__(fb)
        next(gen)
        del gen  # a dropped suspended generator releases, as a generator's finally would
        gc.collect()
        assert not fb._conn_lock.locked()

    def test_cached_connection_is_pinged_and_reused(self, fb, fake):
        fb.get("a")
        fb.get("b")
        assert kinds(fake.log) == ["SELECT 1", "SELECT record FROM mem WHERE id = %s"] * 2
        assert len(fake.connections) == 1

    def test_closed_connection_is_replaced_without_the_extension_statement(self, fb, fake):
        old = fake.connections[0]
        old.closed = True
        fb.get("a")
        assert kinds(fake.log) == ["close", "connect", *NEW_CONNECTION, "SELECT record FROM mem WHERE id = %s"]
        assert fb._connection is fake.connections[1]

    def test_failed_ping_replaces_the_connection(self, fb, fake):
        fake.answers["SELECT 1"] = FakeError("server closed the connection")
        fb.get("a")
        assert kinds(fake.log)[:3] == ["SELECT 1", "close", "connect"]
        assert fb._connection is fake.connections[1]

    def test_ping_error_of_another_kind_propagates_and_keeps_the_connection(self, fb, fake):
        fake.answers["SELECT 1"] = RuntimeError("not the driver's")
        with pytest.raises(RuntimeError):
            fb.get("a")
        assert fb._connection is fake.connections[0] and not fb._conn_lock.locked()

    def test_errors_while_closing_a_stale_connection_are_swallowed(self, fb, fake):
        fake.connections[0].closed = True
        fake.connections[0].close = lambda: (_ for _ in ()).throw(FakeError("close failed"))
        assert fb.get("a") is None
        assert fb._connection is fake.connections[1]

    def test_failed_connect_caches_nothing_and_is_retried(self, fb, fake):
        old = fake.connections[0]
        old.closed = True
        fake.connect_error = FakeError("no server")
        for _ in range(2):
            with pytest.raises(FakeError):
                fb.get("a")
        assert fb._connection is old and not fb._conn_lock.locked()
        assert kinds(fake.log).count("connect") == 2

    def test_failed_extension_statement_closes_the_new_connection_and_is_retried(self, fake):
        fake.answers["CREATE EXTENSION IF NOT EXISTS vector"] = FakeError("permission denied")
        backend = PostgresVectorBackend.__new__(PostgresVectorBackend)
        with pytest.raises(FakeError):
            backend.__init__("d", embedding_dim=3, table="t")
        first = fake.connections[0]
        assert first.closed and backend._connection is None and backend._ext_ensured is False
        del fake.answers["CREATE EXTENSION IF NOT EXISTS vector"]
        backend.get("a")
        assert fake.statements().count("CREATE EXTENSION IF NOT EXISTS vector") == 2
        assert backend._ext_ensured is True and backend._connection is fake.connections[1]

    def test_failed_adapter_registration_closes_the_new_connection(self, fake):
        fake.register_error = FakeError("vector type not found")
        backend = PostgresVectorBackend.__new__(PostgresVectorBackend)
        with pytest.raises(FakeError):
            backend.__init__("d", embedding_dim=3, table="t")
        assert fake.connections[0].closed and backend._connection is None and backend._conn_pid is None
        fake.register_error = None
        backend.get("a")
        assert fake.statements().count("CREATE EXTENSION IF NOT EXISTS vector") == 1

    def test_servers_without_iterative_scans_search_without_the_index(self, fake):
        fake.answers[VERSION_SQL] = FakeCursor([("0.7.4",)])
        PostgresVectorBackend("d", embedding_dim=3, table="t")
        assert "SET enable_indexscan = off" in fake.statements()
        assert SEARCH_SETTINGS_SQL not in fake.statements()

    def test_connection_of_another_process_is_silenced_before_it_is_closed(self, fb, fake):
        inherited = fake.connections[0]
        fb._conn_pid = -1  # as after a fork
        fb.get("a")
        assert inherited.closed and inherited.socket_at_close is False
        assert fb._connection is fake.connections[1] and fb._conn_pid == os.getpid()
        assert "CREATE EXTENSION IF NOT EXISTS vector" not in fake.statements()

    def test_subclass_overrides_are_honoured(self, fb, fake):
        used = []

        class Custom(PostgresVectorBackend):
            @contextlib.contextmanager
            def _conn(self):
                used.append("conn")
                with super()._conn() as conn:
                    yield conn

            @staticmethod
            def _session_id(record):
                return "from-subclass"

        custom = Custom("d", embedding_dim=3, table="mem")
        custom.add({"id": "a"})
        custom.add_batch([{"id": "b"}])
        assert fake.log[-1][1][3] == "from-subclass" and len(used) == 3

    def test_swallowing_override_leaves_nothing_found(self, fb, fake):
        class Swallowing(PostgresVectorBackend):
            @contextlib.contextmanager
            def _conn(self):
                with contextlib.suppress(FakeError):
                    yield fake.connections[0]

        backend = Swallowing.__new__(Swallowing)
        vars(backend).update(vars(fb))
        fake.answers["SELECT record FROM mem WHERE id = %s"] = FakeError("x")
        assert backend.get("a") is None


# ================================================================ records (real database)


@pytest.mark.postgres
class TestSchema:
    def test_table_and_indexes(self, backend, pg_admin, table_name):
        cols = pg_admin.execute(
            "SELECT column_name, format_type(atttypid, atttypmod) FROM information_schema.columns "
            "JOIN pg_attribute ON attrelid = %s::regclass AND attname = column_name "
            "WHERE table_name = %s ORDER BY ordinal_position", (table_name, table_name)).fetchall()
        assert cols == [("id", "text"), ("tenant_id", "text"), ("user_id", "text"), ("session_id", "text"),
                        ("summary", "text"), ("record", "jsonb"), ("embedding", "vector(3)")]
        indexes = dict(pg_admin.execute("SELECT indexname, indexdef FROM pg_indexes WHERE tablename = %s",
                                        (table_name,)).fetchall())
        assert "USING btree (tenant_id, user_id, session_id)" in indexes[f"{table_name}_scope"]
        assert "USING hnsw (embedding vector_cosine_ops)" in indexes[f"{table_name}_emb"]

    def test_reset_empties_the_table_and_keeps_the_indexes(self, make_backend, pg_admin, table_name):
        make_backend().add(rec("a"))
        assert make_backend(embedding_dim=8).stats() == {"count": 1}  # existing definition and rows kept
        assert pg_admin.execute(f"SELECT format_type(atttypid, atttypmod) FROM pg_attribute "
                                f"WHERE attrelid = '{table_name}'::regclass AND attname = 'embedding'"
                                ).fetchone() == ("vector(3)",)
        assert make_backend(reset=True).stats() == {"count": 0}
        assert pg_admin.execute("SELECT count(*) FROM pg_indexes WHERE tablename = %s",
                                (table_name,)).fetchone() == (3,)

    def test_old_table_gains_the_tenant_column_and_scope_index(self, make_backend, pg_admin, table_name):
        pg_admin.execute("CREATE EXTENSION IF NOT EXISTS vector")
        pg_admin.execute(f"CREATE TABLE {table_name} (id text PRIMARY KEY, user_id text, session_id text, "
                         f"summary text, record jsonb NOT NULL, embedding vector(3))")
        pg_admin.execute(f"INSERT INTO {table_name} (id, record) VALUES ('old', '{{}}')")
        backend = make_backend()
        assert backend.all_records(tenant_id="t") == [] and backend.stats() == {"count": 1}
        assert pg_admin.execute("SELECT count(*) FROM pg_indexes WHERE indexname = %s",
                                (f"{table_name}_scope",)).fetchone() == (1,)

    def test_name_starting_with_a_digit_is_refused_by_the_server(self, make_backend):
        with pytest.raises(psycopg.errors.SyntaxError):
            make_backend(table="1abc")


@pytest.mark.postgres
class TestRecords:
    def test_missing_scope_keys_store_null_and_get_returns_the_json(self, backend, pg_admin, table_name):
        record = {"id": "a", "summary": "s", "embedding": [0.25, 0.5, 1.0], "nested": {"k": [1, None, "x"]}}
        backend.add(record)
        assert columns(pg_admin, table_name, "a") == (None, None, None, "s", False)
        assert backend.get("a") == json.loads(json.dumps(record))

    def test_add_replaces_every_column_of_the_same_id(self, backend, pg_admin, table_name):
        backend.add(rec("a", tenant_id="t", user_id="u", source={"session_id": "s"}, extra=1))
        backend.add({"id": "a", "summary": "second"})
        assert columns(pg_admin, table_name, "a") == (None, None, None, "second", True)
        assert backend.get("a") == {"id": "a", "summary": "second"} and backend.stats() == {"count": 1}

    def test_session_column_comes_only_from_source(self, backend, pg_admin, table_name):
        backend.add(rec("a", source={"session_id": "s1"}))
        backend.add(rec("b", session_id="top-level"))
        assert columns(pg_admin, table_name, "a")[2] == "s1"
        assert columns(pg_admin, table_name, "b")[2] is None

    def test_empty_embedding_is_null_in_the_column_and_kept_in_the_json(self, backend, pg_admin, table_name):
        backend.add(rec("a", embedding=[]))
        assert columns(pg_admin, table_name, "a")[4] is True and backend.get("a")["embedding"] == []

    @pytest.mark.parametrize("record, error, message", [
        ({"summary": "no id"}, KeyError, "'id'"),
        (rec("a", source={"session_id": 42}), TypeError, "Expected str, got int"),
        (rec("a", when={1, 2}), TypeError, "Object of type set is not JSON serializable"),
        (rec("a", score=math.nan), psycopg.DataError, "invalid input syntax for type json"),
        (rec("a", embedding=[1.0, 2.0]), psycopg.DataError, "expected 3 dimensions, not 2"),
        ({"id": None}, psycopg.IntegrityError, "null value in column"),
    ])
    def test_bad_records_write_nothing_and_leave_the_backend_usable(self, backend, record, error, message):
        with pytest.raises(error, match=message):
            backend.add(record)
        assert backend.stats() == {"count": 0} and not backend._conn_lock.locked()
        backend.add(rec("ok"))
        assert backend.get("ok") is not None

    def test_add_batch_stops_at_the_failing_record(self, backend):
        assert backend.add_batch([]) == 0
        with pytest.raises(KeyError):
            backend.add_batch([rec("a"), {"summary": "no id"}, rec("c")])
        assert [r["id"] for r in backend.all_records()] == ["a"]
        assert backend.add_batch([rec("b"), rec("c")]) == 2 and backend.stats() == {"count": 3}

    def test_update_merges_into_the_json_only(self, backend, pg_admin, table_name):
        backend.add(rec("a", tags=["x"], meta={"k": 1, "j": 2}))
        assert backend.update("a", {"summary": "new", "meta": {"k": 3}, "tags": None}) is True
        assert backend.get("a") == {**rec("a"), "summary": "new", "meta": {"k": 3}, "tags": None}
        assert columns(pg_admin, table_name, "a")[3] == "summary a"
        assert backend.update("a", {}) is True and backend.update("missing", {"x": 1}) is False

    def test_delete_reports_once(self, backend):
        backend.add(rec("a"))
        assert backend.delete("a") is True and backend.delete("a") is False and backend.get("a") is None

    def test_get_returns_a_fresh_dict_each_time(self, backend):
        backend.add(rec("a"))
        first = backend.get("a")
        first["summary"] = "changed"
        assert backend.get("a")["summary"] == "summary a" and backend.get("a") is not backend.get("a")


class TestColumnExtraction:
    @pytest.mark.parametrize("record, expected", [
        ({}, None), ({"source": None}, None), ({"source": {}}, None), ({"session_id": "top"}, None),
        ({"source": {"session_id": "s"}}, "s"), ({"source": {"session_id": None}}, None),
    ])
    def test_session_id(self, record, expected):
        assert PostgresVectorBackend._session_id(record) == expected

    @pytest.mark.parametrize("source, error, message", [
        ({"session_id": 42}, TypeError, "Expected str, got int"),
        ({"session_id": StrSub("s")}, TypeError, "Expected str, got StrSub"),
        ("text", AttributeError, "get"),
        (["x"], AttributeError, "get"),
    ])
    def test_session_id_refusals(self, source, error, message):
        with pytest.raises(error, match=message):
            PostgresVectorBackend._session_id({"source": source})

    def test_embedding_or_none_returns_the_same_list_or_none(self):
        emb = [0.1]
        assert PostgresVectorBackend._embedding_or_none({"embedding": emb}) is emb
        for value in ([], None, 0, ""):
            assert PostgresVectorBackend._embedding_or_none({"embedding": value}) is None
        assert PostgresVectorBackend._embedding_or_none({}) is None


# ================================================================ search, listing, maintenance


def unit(cos):
    return [cos, math.sqrt(1.0 - cos * cos), 0.0]


@pytest.mark.postgres
class TestSearch:
    @pytest.fixture
    def scored(self, backend):
        for memory_id, cos in (("hi", 0.9), ("mid", 0.7), ("lo", 0.5)):
            backend.add(rec(memory_id, embedding=unit(cos)))
        return backend

    @pytest.mark.parametrize("top_k, threshold, expected", [
        (2, 0.6, ["hi", "mid"]), (2, 0.8, ["hi"]), (1, 0.6, ["hi"]), (3, -1.0, ["hi", "mid", "lo"]), (0, -1, []),
    ])
    def test_threshold_applies_to_the_top_k_rows(self, scored, top_k, threshold, expected):
        got = scored.vector_search([1.0, 0.0, 0.0], top_k=top_k, threshold=threshold)
        assert [r["id"] for r in got] == expected

    def test_threshold_is_inclusive(self, scored):
        mid = scored.vector_search([1.0, 0.0, 0.0], top_k=3, threshold=0)[1]["score"]
        assert [r["id"] for r in scored.vector_search([1.0, 0.0, 0.0], top_k=3, threshold=mid)] == ["hi", "mid"]

    def test_result_items_are_copies_with_score_and_method(self, backend):
        backend.add({"id": "a", "score": "stored", "method": "stored", "embedding": [0.0, 1.0, 0.0], "z": 1})
        (item,) = backend.vector_search([0.0, 2.0, 0.0], top_k=5, threshold=0.5)
        stored = backend.get("a")
        assert list(item) == list(stored)  # the stored keys keep their positions
        assert type(item["score"]) is float and item["score"] == pytest.approx(1.0) and item["method"] == "embedding"
        assert stored["score"] == "stored"

    def test_records_without_embedding_are_listed_and_counted_but_never_found(self, backend):
        backend.add({"id": "plain"})
        backend.add(rec("vec"))
        assert [r["id"] for r in backend.vector_search([1.0, 0.0, 0.0], top_k=10, threshold=-1)] == ["vec"]
        assert backend.stats() == {"count": 2} and len(backend.all_records()) == 2

    @pytest.mark.parametrize("scope", [{}, {"tenant_id": "t"}, {"allowed_ids": {"zero", "hi", "lo"}}])
    def test_zero_vectors_rank_last(self, backend, scope):
        backend.add(rec("zero", tenant_id="t", embedding=[0.0, 0.0, 0.0]))
        for memory_id, cos in (("hi", 0.9), ("lo", 0.5)):
            backend.add(rec(memory_id, tenant_id="t", embedding=unit(cos)))
        got = backend.vector_search([1.0, 0.0, 0.0], top_k=2, threshold=-1, **scope)
        assert [r["id"] for r in got] == ["hi", "lo"]

    def test_scope_never_matches_null_columns(self, backend):
        backend.add(rec("t1", tenant_id="t", user_id="u1"))
        backend.add(rec("t2", tenant_id="t", user_id="u2", source={"session_id": "s"}))
        backend.add(rec("none"))
        ids = lambda rows: sorted(r["id"] for r in rows)  # noqa: E731
        assert ids(backend.all_records(tenant_id="t")) == ["t1", "t2"]
        assert ids(backend.all_records()) == ["none", "t1", "t2"]
        assert ids(backend.vector_search([1.0, 0.0, 0.0], top_k=9, threshold=-1, session_id="s")) == ["t2"]
        assert backend.stats(tenant_id="t", user_id="u1") == {"count": 1}

    def test_allowed_ids_replace_the_scope(self, backend):
        backend.add(rec("a", tenant_id="x"))
        backend.add(rec("b", tenant_id="y"))
        backend.add(rec("c", tenant_id="other"))
        got = backend.vector_search([1.0, 0.0, 0.0], top_k=9, threshold=-1, allowed_ids={"a", "b", "zz"},
                                    tenant_id="other")
        assert sorted(r["id"] for r in got) == ["a", "b"]

    def test_clear_by_position_removes_only_matching_rows(self, backend):
        backend.add(rec("keep1", tenant_id="t", user_id="v"))
        backend.add(rec("keep2", tenant_id="s", user_id="u"))
        backend.add(rec("gone", tenant_id="t", user_id="u"))
        backend.clear("t", "u")
        assert sorted(r["id"] for r in backend.all_records()) == ["keep1", "keep2"]
        backend.clear()
        assert backend.stats() == {"count": 0}
        backend.add(rec("again"))
        assert backend.stats() == {"count": 1}

    def test_negative_top_k_is_refused_by_the_server(self, backend):
        with pytest.raises(psycopg.DataError, match="LIMIT must not be negative"):
            backend.vector_search([1.0, 0.0, 0.0], top_k=-1, threshold=0)
        assert not backend._conn_lock.locked()

    @pytest.mark.parametrize("kwargs", [{"query_embedding": []},
                                        {"query_embedding": [1.0], "allowed_ids": set(), "tenant_id": "t"}])
    def test_empty_query_or_id_set_answers_without_database_or_lock(self, backend, kwargs):
        backend._dsn = "host=/nonexistent dbname=none"
        close_connection(backend)
        with backend._conn_lock:  # held elsewhere: an answer that needed it would block
            assert backend.vector_search(**kwargs, top_k=3, threshold=0) == []


COMMON_WORDS_SQL = (
    "SELECT greatest(c.reltuples, 0)::float8, s.most_common_elems::text::text[], "
    "s.most_common_elem_freqs::float8[] FROM pg_class c LEFT JOIN pg_stats s ON s.schemaname = current_schema() "
    "AND s.tablename = 'mem_text_simple' AND NOT s.inherited WHERE c.oid = 'mem'::regclass")
COMMON_WORDS_LITERAL = '{"quo\\"te","plain","back\\\\slash"}'


@pytest.mark.postgres
def test_common_words_literal_reads_back_as_the_words(pg_admin):
    assert pg_admin.execute("SELECT %s::text[]", [COMMON_WORDS_LITERAL]).fetchone()[0] == ['quo"te', "plain", "back\\slash"]


# Topics on the axes (billing x, routing y, search z); the ticket OPS-4127 is
# named across topics, and "note" has no embedding at all.
HAND_MADE = [
    ("inv1", "t1", "Invoice export failed for ticket OPS-4127", [0.9, 0.3, 0.0]),
    ("inv2", "t1", "Invoice export moved to Monday", [1.0, 0.1, 0.0]),
    ("inv3", "t2", "Refunds and credit notes reviewed", [0.8, 0.0, 0.5]),
    ("rt1", "t1", "Router migration, a follow-up of OPS-4127", [0.1, 1.0, 0.2]),
    ("rt2", "t2", "Routing audit with Maya", [0.2, 1.0, 0.0]),
    ("sr1", "t1", "Search relevance tuning", [0.0, 0.2, 1.0]),
    ("alert", None, "Alerting for OPS-4127 paged twice", [0.0, 0.3, 1.0]),
    ("note", "t1", "OPS-4127 notes", []),
]
BILLING = [1.0, 0.0, 0.0]
MIXED = "what was decided on OPS-4127 billing?"


def rrf(*ranks):
    return sum(1 / (20 + r) for r in ranks)


@pytest.mark.postgres
class TestHybridSearch:
    @pytest.fixture(params=[False, True], ids=["no text index", "text index"])
    def hand_made(self, request, backend):
        for memory_id, tenant, summary, embedding in HAND_MADE:
            backend.add({"id": memory_id, "tenant_id": tenant, "summary": summary, "embedding": embedding})
        if request.param:
            backend.create_text_index()
        return backend

    @pytest.mark.parametrize("text, embedding, top_k, expected, best", [
        # Words alone: the four rows naming the ticket tie; the cosine order decides among them
        # ("note", without embedding, ties with the best row found by meaning alone and goes first).
        ("OPS-4127", [0.0, 0.1, 1.0], 4, ["alert", "rt1", "inv1", "note"], rrf(1, 2)),
        # Meaning alone: no stored summary says "billing"; every row counts as just below the word list.
        ("billing", BILLING, 3, ["inv2", "inv1", "inv3"], rrf(1, 20 + 2 * 3 + 1)),
        # Both: the billing session that names the ticket, which neither ranking puts first.
        (MIXED, BILLING, 3, ["inv1", "rt1", "alert"], rrf(1, 2)),
    ])
    @pytest.mark.parametrize("plans", ["custom", "generic"])  # the server may keep either for a prepared statement
    def test_exact_results(self, hand_made, plans, text, embedding, top_k, expected, best):
        with hand_made._conn() as conn:
            conn.execute(f"SET plan_cache_mode = force_{plans}_plan")
        got = hand_made.hybrid_search(text, embedding, top_k=top_k)
        assert [r["id"] for r in got] == expected
        assert got[0]["score"] == pytest.approx(best) and {r["method"] for r in got} == {"hybrid"}
        assert got[0] == {**hand_made.get(expected[0]), "score": got[0]["score"], "method": "hybrid"}

    def test_neither_ranking_alone_puts_the_mixed_answer_first(self, hand_made):
        assert hand_made.vector_search(BILLING, top_k=1, threshold=-1)[0]["id"] == "inv2"
        assert [r["id"] for r in hand_made.hybrid_search(MIXED, [], top_k=1)] == ["alert"]

    @pytest.mark.parametrize("scope, expected", [
        ({"tenant_id": "t1"}, ["inv1", "rt1", "note", "inv2", "sr1"]),
        ({"tenant_id": "t2", "user_id": "nobody"}, []),
        ({"allowed_ids": {"inv3", "rt2", "alert", "missing"}, "tenant_id": "t1"}, ["alert", "inv3", "rt2"]),
    ])
    def test_scope_and_allowed_ids_as_for_vector_search(self, hand_made, scope, expected):
        assert [r["id"] for r in hand_made.hybrid_search(MIXED, BILLING, top_k=9, **scope)] == expected

    @pytest.mark.parametrize("text, embedding, expected, best", [
        (MIXED, [], ["alert", "inv1", "note", "rt1"], rrf(1)),  # no embedding: the words alone, ties by id
        ("?! the", BILLING, ["inv2", "inv1", "inv3", "rt2"], rrf(1, 29)),  # no word of any summary: the cosine order
    ])
    def test_a_missing_ranking_leaves_the_other_alone(self, hand_made, text, embedding, expected, best):
        got = hand_made.hybrid_search(text, embedding, top_k=4)
        assert [r["id"] for r in got] == expected and got[0]["score"] == pytest.approx(best)

    @pytest.mark.parametrize("text", QUERY_TEXTS, ids=range(len(QUERY_TEXTS)))
    def test_hostile_query_text_is_only_words(self, hand_made, text):
        for embedding in (BILLING, []):
            got = hand_made.hybrid_search(text, embedding, top_k=3)
            assert {r["id"] for r in got} <= {row[0] for row in HAND_MADE}

    def test_text_index_is_created_once_and_an_invalid_one_rebuilt(self, backend, pg_admin, table_name):
        index = f"{table_name}_text_simple"

        def state():
            return pg_admin.execute("SELECT indisvalid, pg_get_indexdef(indexrelid) FROM pg_index "
                                    "WHERE indrelid = %s::regclass AND indexrelid::regclass::text LIKE %s",
                                    (table_name, f"{table_name}_text%")).fetchall()

        assert backend.create_text_index() is None and backend.create_text_index() is None
        assert state() == [(True, f"CREATE INDEX {index} ON public.{table_name} USING gin "
                                  "(to_tsvector('simple'::regconfig, summary))")]
        pg_admin.execute("UPDATE pg_index SET indisvalid = false WHERE indexrelid = %s::regclass", (index,))
        backend.create_text_index()
        assert [valid for valid, _ in state()] == [True]
        backend.create_text_index("english")
        assert sorted(valid for valid, _ in state()) == [True, True]


@pytest.fixture(scope="module")
def crowded(pg_dsn):
    """20,000 rows of width 8: tenant "few" owns 5 of them, "mid" 284 (1.4%), "many" 1,000, "bulk" the rest."""
    table = f"t_{secrets.token_hex(6)}"
    backend = PostgresVectorBackend(pg_dsn, embedding_dim=8, table=table)
    rng = random.Random(7)
    with psycopg.connect(pg_dsn, autocommit=True) as admin:
        admin.execute(f"DROP INDEX {table}_emb")  # built once after the load: much faster
        with admin.cursor() as cur, cur.copy(f"COPY {table} (id, tenant_id, record, embedding) FROM STDIN") as copy:
            for i in range(20000):
                tenant = ("few" if i % 4000 == 1 else "many" if i % 20 == 2 else "mid" if i % 67 == 3
                          else "bulk")
                vec = "[" + ",".join(f"{rng.gauss(0, 1):.5f}" for _ in range(8)) + "]"
                copy.write_row((f"r{i}", tenant, json.dumps({"id": f"r{i}", "tenant_id": tenant}), vec))
        admin.execute(f"CREATE INDEX {table}_emb ON {table} USING hnsw (embedding vector_cosine_ops)")
        admin.execute(f"ANALYZE {table}")
    yield backend
    close_connection(backend)
    with psycopg.connect(pg_dsn, autocommit=True) as admin:
        admin.execute(f"DROP TABLE {table}")


@contextlib.contextmanager
def hnsw_plan_forced(backend, iterative=True):
    """Make the planner answer through the hnsw index scan, the case that can drop rows."""
    forced = ["enable_seqscan", "enable_bitmapscan", "enable_sort"]
    with backend._conn() as conn:
        (mode,) = conn.execute("SELECT current_setting('hnsw.iterative_scan')").fetchone()
        for name in forced:
            conn.execute(f"SET {name} = off")
        (breadth,) = conn.execute("SELECT current_setting('hnsw.ef_search')").fetchone()
        if not iterative:  # a plain scan of pgvector's default breadth
            conn.execute("SET hnsw.iterative_scan = off")
            conn.execute("SET hnsw.ef_search = 40")
    try:
        yield
    finally:
        with backend._conn() as conn:
            for name in forced:
                conn.execute(f"RESET {name}")
            conn.execute("SELECT set_config('hnsw.iterative_scan', %s, false), "
                         "set_config('hnsw.ef_search', %s, false)", (mode, breadth))


@pytest.mark.postgres
class TestSearchFindsEveryMatch:
    QUERY = [0.3, -0.2, 0.5, 0.1, -0.4, 0.2, 0.0, 0.6]

    def test_small_tenant_gets_all_its_rows(self, crowded):
        expected = ["r1", "r12001", "r16001", "r4001", "r8001"]
        for plan in (contextlib.nullcontext(), hnsw_plan_forced(crowded), hnsw_plan_forced(crowded, iterative=False)):
            with plan:
                got = crowded.vector_search(self.QUERY, top_k=10, threshold=-1, tenant_id="few")
            assert sorted(r["id"] for r in got) == expected
        with hnsw_plan_forced(crowded, iterative=False), crowded._conn() as conn:  # control: a plain index walk
            assert len(conn.execute(self.walk(crowded), self.args("few")).fetchall()) < 5

    def test_mid_sized_tenant_gets_its_exact_top_10_in_order(self, crowded, pg_admin):
        register_vector(pg_admin)
        pg_admin.execute("SET enable_indexscan = off")  # the truth: every row of the tenant ranked
        truth = pg_admin.execute(self.walk(crowded), self.args("mid")).fetchall()
        for plan in (contextlib.nullcontext(), hnsw_plan_forced(crowded, iterative=False)):
            with plan:
                got = crowded.vector_search(self.QUERY, top_k=10, threshold=-1, tenant_id="mid")
            assert [r["id"] for r in got] == [rec["id"] for rec, _ in truth]
            assert [r["score"] for r in got] == [score for _, score in truth]
        with hnsw_plan_forced(crowded, iterative=False), crowded._conn() as conn:  # control: a plain index walk
            walked = conn.execute(self.walk(crowded), self.args("mid")).fetchall()
            assert [rec["id"] for rec, _ in walked] != [rec["id"] for rec, _ in truth]

    @pytest.mark.parametrize("top_k", [100, 500])
    @pytest.mark.parametrize("scope", [{}, {"tenant_id": "many"}, {"tenant_id": "bulk"}])
    def test_top_k_above_the_index_search_breadth_returns_top_k_rows(self, crowded, scope, top_k):
        for plan in (contextlib.nullcontext(), hnsw_plan_forced(crowded)):
            with plan:
                got = crowded.vector_search(self.QUERY, top_k=top_k, threshold=-1, **scope)
            scores = [r["score"] for r in got]
            assert len(got) == top_k and scores == sorted(scores, reverse=True)
            assert all(r["tenant_id"] == scope["tenant_id"] for r in got) if scope else True
        with hnsw_plan_forced(crowded, iterative=False):
            got = crowded.vector_search(self.QUERY, top_k=top_k, threshold=-1, **scope)
        # Only scopes too large to rank exactly are answered by the index walk.
        assert len(got) == top_k if scope.get("tenant_id") == "many" else len(got) < top_k

    def walk(self, backend):
        return SEARCH_SQL.format(backend._table, " AND tenant_id = %s")

    def args(self, tenant):
        return (Vector(self.QUERY), tenant, Vector(self.QUERY), 10)

    def test_search_breadth_is_raised_but_a_wider_configured_one_is_kept(self, make_backend, pg_dsn):
        def breadth(backend):
            with backend._conn() as conn:
                return conn.execute("SELECT current_setting('hnsw.ef_search')").fetchone()[0]

        assert breadth(make_backend()) == "200"
        wide = psycopg.conninfo.make_conninfo(pg_dsn, options="-c hnsw.ef_search=300")
        assert breadth(make_backend(dsn=wide)) == "300"


# ================================================================ reliability (real database)


@pytest.mark.postgres
class TestReliability:
    def test_session_ended_by_the_server_reconnects_without_the_extension_statement(
            self, make_backend, pg_admin, monkeypatch):
        sent = []

        class Recording(psycopg.Connection):
            def execute(self, query, params=None, **kwargs):
                sent.append(flat(query))
                return super().execute(query, params, **kwargs)

        monkeypatch.setattr(vv, "psycopg", types.SimpleNamespace(connect=Recording.connect, Error=psycopg.Error))
        backend = make_backend()
        backend.add(rec("a"))
        old = backend._connection
        server_pid = old.info.backend_pid
        pg_admin.execute("SELECT pg_terminate_backend(%s)", (server_pid,))
        deadline = time.monotonic() + 10
        while pg_admin.execute("SELECT count(*) FROM pg_stat_activity WHERE pid = %s",
                               (server_pid,)).fetchone()[0] and time.monotonic() < deadline:
            time.sleep(0.02)
        sent.clear()
        assert backend.get("a")["id"] == "a"
        assert old.closed and backend._connection is not old
        assert backend._connection.info.backend_pid != server_pid
        assert sent[0] == "SELECT 1" and "CREATE EXTENSION IF NOT EXISTS vector" not in sent
        assert SEARCH_SETTINGS_SQL in sent

    def test_forked_child_connects_anew_and_the_parent_session_survives(self, backend, pg_admin):
        backend.add(rec("parent"))
        conn = backend._connection
        server_pid = conn.info.backend_pid

        def child():
            backend.add(rec("child"))
            return {"server_pid": backend._connection.info.backend_pid, "inherited_closed": conn.closed}

        code, out = run_in_child(child)
        assert code == 0, out
        assert out["server_pid"] != server_pid and out["inherited_closed"]
        assert backend.get("child") is not None
        assert backend._connection is conn and conn.info.backend_pid == server_pid  # no reconnect was needed
        assert pg_admin.execute("SELECT count(*) FROM pg_stat_activity WHERE pid = %s",
                                (server_pid,)).fetchone() == (1,)

    def test_control_an_ordinary_close_in_a_child_ends_the_parents_session(self, pg_dsn):
        with psycopg.connect(pg_dsn, autocommit=True) as conn:
            code, out = run_in_child(lambda: conn.close())
            assert code == 0, out
            with pytest.raises(psycopg.OperationalError):
                conn.execute("SELECT 1")

    @pytest.mark.filterwarnings("ignore:This process:DeprecationWarning")
    def test_forked_child_gets_a_fresh_lock_while_another_thread_holds_it(self, backend):
        entered, leave = threading.Event(), threading.Event()

        def hold():
            with backend._conn():
                entered.set()
                leave.wait(30)

        holder = threading.Thread(target=hold)
        holder.start()
        assert entered.wait(10)
        try:
            code, out = run_in_child(lambda: backend.stats())
        finally:
            leave.set()
            holder.join(10)
        assert code == 0, out
        assert out == {"count": 0} and backend.stats() == {"count": 0}

    def test_eight_threads_share_one_backend(self, backend):
        errors = []

        def work(t):
            try:
                for i in range(500):
                    backend.add({"id": f"{t}-{i}", "tenant_id": f"t{t}", "embedding": [1.0, float(t), float(i)]})
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        assert not any(thread.is_alive() for thread in threads) and errors == []
        assert backend.stats() == {"count": 4000}
        assert {r["id"] for r in backend.all_records()} == {f"{t}-{i}" for t in range(8) for i in range(500)}
        assert all(backend.stats(tenant_id=f"t{t}") == {"count": 500} for t in range(8))

    def test_failed_operation_releases_the_lock_for_other_threads(self, backend):
        with pytest.raises(psycopg.DataError):
            backend.add(rec("bad", embedding=[1.0]))
        other = threading.Thread(target=backend.add, args=(rec("good"),))
        other.start()
        other.join(10)
        assert not other.is_alive() and backend.get("good") is not None and backend.get("bad") is None
