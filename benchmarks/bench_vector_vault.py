"""Benchmark of PostgresVectorBackend against plain psycopg, and search quality.

1. Overhead: `add`, `get` and `vector_search` against the same statements sent
   through psycopg directly, in the same run, interleaved batch by batch. The
   peer "same statements" sends what the backend sends (the connection ping
   "SELECT 1" and the operation's statement) with the same session settings;
   the peer "statement only" leaves out the ping, for reference.
2. Search quality: `vector_search` latency (p50, p99) and recall@10 against
   exact search (numpy brute force), unscoped and scoped, at several table
   sizes (100,000 records of width 384 at the largest).

3. Scoped search: 300 topic clusters, ten tenants owning 40% of the rows
   down to 0.1%, independent of the topics. Per scope, recall@10, p50 and p99
   of the statement sent before scopes were counted ("old") next to the
   backend ("new"), and the p50 of ranking the whole scope exactly, which
   shows where exact ranking stops being cheaper than the index walk.

The data is seeded and embedding-like (topic clusters with low-dimensional
local structure); in 1 and 2, ten tenants of 10% each plus one small tenant of
0.1%. The tables are kept in a database "vsk_bench" on the local server and
reused by later runs. Run: .venv/bin/python benchmarks/bench_vector_vault.py
[--quick] or, for the scoped table alone, [--scopes [ROWS ...]] (for instance
--scopes 1000000, loaded once; that takes a while).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import psycopg
from pgvector import Vector
from pgvector.psycopg import register_vector

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from devtools.postgres import database_dsn, ensure_server  # noqa: E402

from vesperkit.memory.backends.vector_vault import PostgresVectorBackend  # noqa: E402

SEED = 20240602
DIM = 384
TENANTS = [f"tenant{i}" for i in range(10)]
SMALL_TENANT = "small"
SEARCH_SETTINGS = (
    "SELECT set_config('hnsw.iterative_scan', 'strict_order', false), "
    "set_config('hnsw.max_scan_tuples', '2147483647', false), "
    "set_config('hnsw.scan_mem_multiplier', '1000', false), "
    "set_config('hnsw.ef_search', '200', false)"
)
INSERT = (
    "INSERT INTO {}(id, tenant_id, user_id, session_id, summary, record, embedding)\n"
    "VALUES (%s, %s, %s, %s, %s, %s, %s)\n"
    "ON CONFLICT (id) DO UPDATE\n"
    "SET tenant_id = EXCLUDED.tenant_id,\n    user_id = EXCLUDED.user_id,\n"
    "    session_id = EXCLUDED.session_id,\n    summary = EXCLUDED.summary,\n"
    "    record = EXCLUDED.record,\n    embedding = EXCLUDED.embedding"
)
GET = "SELECT record FROM {} WHERE id = %s"
SEARCH = ("SELECT record, 1 - (embedding <=> %s) AS score FROM {} WHERE embedding IS NOT NULL{} "
          "ORDER BY embedding <=> %s LIMIT %s")
# A scoped search: the scope is counted up to the bound, then ranked exactly
# (EXACT_SEARCH) below it and through the hnsw index (SEARCH) above it.
EXACT_FLOOR, EXACT_PER_ROOT = 5000, 20
SCOPE_IS_SMALL = (  # a scope the statistics put at four bounds or more is not counted
    f"WITH bound AS (SELECT greatest({EXACT_FLOOR}, {EXACT_PER_ROOT} * sqrt(greatest(reltuples, 0)))::bigint AS n, "
    "greatest(reltuples, 0) AS total FROM pg_class WHERE oid = '{0}'::regclass), "
    "guess AS (SELECT CASE WHEN count(*) = 1 THEN (SELECT total FROM bound) * exp(sum(ln(greatest(sel, 1e-9)))) END AS n "
    "FROM (SELECT coalesce(s.most_common_freqs[array_position(s.most_common_vals::text::text[], v.val)], "
    "(1 - s.null_frac - coalesce((SELECT sum(f) FROM unnest(s.most_common_freqs) f), 0)) / greatest(1, "
    "CASE WHEN s.n_distinct < 0 THEN -s.n_distinct * (SELECT total FROM bound) ELSE s.n_distinct END "
    "- coalesce(cardinality(s.most_common_freqs), 0))) AS sel FROM (VALUES ('tenant_id', %s::text)) v(col, val) "
    "JOIN pg_stats s ON s.attname = v.col WHERE s.schemaname = current_schema() AND s.tablename = '{0}' "
    "AND NOT s.inherited) e) "
    "SELECT CASE WHEN (SELECT n FROM guess) >= 4 * (SELECT n FROM bound) THEN false ELSE "
    "(SELECT count(*) < (SELECT n FROM bound) FROM (SELECT FROM {0} WHERE tenant_id = %s LIMIT (SELECT n FROM bound)) c) END"
)
# Every row of the scope ranked, no index walk: the truth, and the cost of exactness.
EXACT_SEARCH = ("SELECT record, 1 - d AS score FROM (SELECT record, embedding <=> %s AS d FROM {} "
                "WHERE embedding IS NOT NULL AND tenant_id = %s OFFSET 0) ranked ORDER BY d LIMIT %s")


# ---------------------------------------------------------------- data


def unit(x: np.ndarray) -> np.ndarray:
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


class Embeddings:
    """Sentence-embedding-like vectors: 64 topic directions, each with its own
    8-dimensional local variation, plus a little isotropic noise (nearest
    neighbours at cosine ~0.85, tenth ~0.7, unrelated pairs ~0)."""

    def __init__(self, dim: int = DIM, seed: int = SEED, topics: int = 64):
        rng = np.random.default_rng(seed)
        self.topics = unit(rng.normal(size=(topics, dim)))
        self.bases = rng.normal(size=(topics, dim, 8)) / np.sqrt(dim)

    def sample(self, rng: np.random.Generator, n: int) -> np.ndarray:
        out = np.empty((n, self.topics.shape[1]), dtype=np.float32)
        for start in range(0, n, 10000):  # bounded temporaries
            m = min(10000, n - start)
            t = rng.integers(0, len(self.topics), m)
            local = np.einsum("ndk,nk->nd", self.bases[t], rng.normal(size=(m, 8)))
            noise = unit(rng.normal(size=(m, self.topics.shape[1])))
            out[start:start + m] = unit(self.topics[t] + 0.8 * local + 0.25 * noise)
        return out


def dataset(n: int, dim: int = DIM):
    model = Embeddings(dim)
    vectors = model.sample(np.random.default_rng(SEED + 10), n)
    tenants = np.array([TENANTS[i % 10] for i in range(n)], dtype=object)
    tenants[np.arange(n // 1000) * 1000 + 5] = SMALL_TENANT  # 0.1% of the rows, spread out
    queries = model.sample(np.random.default_rng(SEED + 1), 400)
    return vectors, tenants, queries


SCOPE_SHARES = (0.40, 0.20, 0.15, 0.10, 0.06, 0.04, 0.03, 0.015, 0.004, 0.001)


def scope_dataset(n: int, dim: int = DIM):
    """300 topic clusters; ten tenants drawn independently of the topics, owning
    40% of the rows down to 0.1% (SCOPE_SHARES); 60 queries from the same model."""
    model = Embeddings(dim, seed=SEED + 30, topics=300)
    vectors = model.sample(np.random.default_rng(SEED + 31), n)
    owner = np.random.default_rng(SEED + 32).choice(len(SCOPE_SHARES), size=n, p=SCOPE_SHARES)
    tenants = np.array(TENANTS, dtype=object)[owner]
    queries = model.sample(np.random.default_rng(SEED + 33), 60)
    return vectors, tenants, queries


def memory(i: int, tenant: str, vec) -> dict:
    return {"id": f"m{i}", "tenant_id": tenant, "user_id": f"u{i % 97}", "summary": f"session {i} summary",
            "tags": ["bench", tenant], "source": {"session_id": f"s{i % 1013}", "author": "bench"},
            "embedding": vec}


def bench_database() -> str:
    server = ensure_server()
    with psycopg.connect(server, autocommit=True) as conn:
        if not conn.execute("SELECT 1 FROM pg_database WHERE datname = 'vsk_bench'").fetchone():
            conn.execute("CREATE DATABASE vsk_bench")
    return database_dsn(server, "vsk_bench")


def loaded_table(dsn: str, n: int, data=dataset, prefix: str = "bench") -> tuple[PostgresVectorBackend, str]:
    """The search table of n rows of `data` (created, loaded by COPY and indexed once; reused afterwards)."""
    table = f"{prefix}_{n}_{DIM}_{SEED}"
    backend = PostgresVectorBackend(dsn, embedding_dim=DIM, table=table)
    if backend.stats() == {"count": n}:
        with psycopg.connect(dsn) as conn:
            if conn.execute(f"SELECT jsonb_typeof(record) FROM {table} LIMIT 1").fetchone() == ("object",):
                return backend, table
    vectors, tenants, _ = data(n)
    started = time.perf_counter()
    with psycopg.connect(dsn, autocommit=True) as conn:
        register_vector(conn)
        conn.execute(f"TRUNCATE {table}")
        conn.execute(f"DROP INDEX IF EXISTS {table}_emb")
        with conn.cursor() as cur, cur.copy(
                f"COPY {table} (id, tenant_id, user_id, session_id, summary, record, embedding) "
                f"FROM STDIN WITH (FORMAT BINARY)") as copy:
            copy.set_types(["text", "text", "text", "text", "text", "jsonb", "vector"])
            for i in range(n):
                rec = memory(i, tenants[i], None)
                del rec["embedding"]  # kept out of the bulk JSON copy to keep the load small
                copy.write_row((rec["id"], rec["tenant_id"], rec["user_id"], rec["source"]["session_id"],
                                rec["summary"], rec, vectors[i]))
        # The graph is built in memory when it fits (about 3 KB a row at this width).
        conn.execute(f"SET maintenance_work_mem = '{max(1, -(-n * 3 // 1_000_000))}GB'")
        conn.execute("SET max_parallel_maintenance_workers = 1")
        conn.execute(f"CREATE INDEX {table}_emb ON {table} USING hnsw (embedding vector_cosine_ops)")
        # What autovacuum does soon after a bulk load: statistics and the visibility map.
        conn.execute(f"VACUUM ANALYZE {table}")
    print(f"  loaded {n} rows into {table} in {time.perf_counter() - started:.0f} s", flush=True)
    return backend, table


# ---------------------------------------------------------------- the peers


class PlainPsycopg:
    """The same statements through psycopg directly (no lock, no checks), with
    the same session settings as the backend's connections."""

    def __init__(self, dsn: str, table: str, ping: bool):
        self.conn = psycopg.connect(dsn, autocommit=True)
        register_vector(self.conn)
        self.conn.execute(SEARCH_SETTINGS)
        self.table, self.ping = table, ping

    def add(self, record: dict) -> None:
        conn = self.conn
        if self.ping:
            conn.execute("SELECT 1")
        source = record.get("source") or {}
        conn.execute(INSERT.format(self.table),
                     (record["id"], record.get("tenant_id"), record.get("user_id"), source.get("session_id"),
                      record.get("summary"), json.dumps(record), record.get("embedding") or None))

    def get(self, memory_id: str):
        if self.ping:
            self.conn.execute("SELECT 1")
        row = self.conn.execute(GET.format(self.table), (memory_id,)).fetchone()
        return None if row is None else row[0]

    def vector_search(self, query, *, top_k, threshold, tenant_id=None, form="backend"):
        """`form`: "backend" sends what the backend sends, "old" the index-
        ordered statement alone (sent before scopes were counted), "exact" a
        ranking of every row of the scope."""
        q = Vector(query)
        if tenant_id is None:
            sql, params = SEARCH.format(self.table, ""), [q, q, top_k]
        elif form == "old":
            sql, params = SEARCH.format(self.table, " AND tenant_id = %s"), [q, tenant_id, q, top_k]
        elif form == "exact":
            sql, params = EXACT_SEARCH.format(self.table), [q, tenant_id, top_k]
        else:
            sql, params = None, None
        if self.ping:
            self.conn.execute("SELECT 1")
        if sql is None:
            (small,) = self.conn.execute(SCOPE_IS_SMALL.format(self.table), (tenant_id, tenant_id)).fetchone()
            sql, params = ((EXACT_SEARCH.format(self.table), [q, tenant_id, top_k]) if small else
                           (SEARCH.format(self.table, " AND tenant_id = %s"), [q, tenant_id, q, top_k]))
        rows = self.conn.execute(sql, params).fetchall()
        out = []
        for record, score in rows:
            score = float(score)
            if score >= threshold:
                item = dict(record)
                item["score"] = score
                item["method"] = "embedding"
                out.append(item)
        return out

    def close(self) -> None:
        self.conn.close()


def interleaved(contenders: dict, make_batches, rounds: int) -> dict[str, float]:
    """Mean microseconds per operation of each contender, batches alternating in rotating order."""
    totals = {name: 0.0 for name in contenders}
    counts = {name: 0 for name in contenders}
    names = list(contenders)
    for r in range(rounds):
        order = names[r % len(names):] + names[: r % len(names)]
        for name in order:
            batch = make_batches(name, r)
            fn = contenders[name]
            started = time.perf_counter()
            for op in batch:
                fn(op)
            totals[name] += time.perf_counter() - started
            counts[name] += len(batch)
    return {name: totals[name] / counts[name] * 1e6 for name in names}


def overhead(dsn: str, search_backend: PostgresVectorBackend, search_table: str, queries: np.ndarray,
             quick: bool) -> list[tuple]:
    rows = []
    add_n = 600 if quick else 3000
    rounds = 10 if quick else 30
    tables = {name: f"bench_add_{name}" for name in ("vault", "same", "stmt")}
    backends = {}
    for name, table in tables.items():
        backends[name] = PostgresVectorBackend(dsn, embedding_dim=DIM, table=table, reset=True)
    peers = {"same": PlainPsycopg(dsn, tables["same"], ping=True),
             "stmt": PlainPsycopg(dsn, tables["stmt"], ping=False)}
    rng = np.random.default_rng(SEED + 2)
    vectors = rng.normal(0, 1, (add_n, DIM)).tolist()
    per_round = add_n // rounds

    def add_batch(name, r):
        return [memory(i, TENANTS[i % 10], vectors[i]) for i in range(r * per_round, (r + 1) * per_round)]

    adds = interleaved({"vault": backends["vault"].add, "same": peers["same"].add, "stmt": peers["stmt"].add},
                       add_batch, rounds)
    rows.append(("add (width 384, hnsw-indexed table)", adds))

    id_rng = np.random.default_rng(SEED + 3)
    get_ids = [f"m{i}" for i in id_rng.integers(0, add_n, 400 * rounds)]
    for peer in peers.values():
        peer.table = tables["vault"]  # all read the same table
    gets = interleaved({"vault": backends["vault"].get, "same": peers["same"].get, "stmt": peers["stmt"].get},
                       lambda name, r: get_ids[r * 400:(r + 1) * 400], rounds)
    rows.append(("get (record with its embedding in the JSON)", gets))

    for peer in peers.values():
        peer.table = search_table
    qs = [q.tolist() for q in queries[:100]]
    for label, scope in (("vector_search top_k=10, unscoped", {}),
                         ("vector_search top_k=10, tenant 10%", {"tenant_id": TENANTS[3]})):
        def run(fn, scope=scope):
            return lambda q: fn(q, top_k=10, threshold=0.0, **scope)

        searches = interleaved({"vault": run(search_backend.vector_search), "same": run(peers["same"].vector_search),
                                "stmt": run(peers["stmt"].vector_search)},
                               lambda name, r: qs[(r * 10) % 100:(r * 10) % 100 + 10], rounds * 2)
        rows.append((label, searches))
    for peer in peers.values():
        peer.close()
    for backend in backends.values():
        backend._connection.close()
    return rows


# ---------------------------------------------------------------- quality


def exact_top(vectors: np.ndarray, candidates: np.ndarray, query: np.ndarray, k: int) -> set[int]:
    sims = vectors[candidates] @ query  # rows are unit vectors
    best = np.argpartition(-sims, min(k, len(sims) - 1))[:k]
    return {int(candidates[i]) for i in best}


def quality(backend: PostgresVectorBackend, n: int, queries: np.ndarray, n_queries: int,
            breadth: str | None = None) -> list[tuple]:
    """Latency and recall of the backend; `breadth` replaces the backend's hnsw.ef_search."""
    vectors, tenants, _ = dataset(n)
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    all_rows = np.arange(n)
    with backend._conn() as conn:
        (own,) = conn.execute("SELECT current_setting('hnsw.ef_search')").fetchone()
        if breadth is not None:
            conn.execute("SELECT set_config('hnsw.ef_search', %s, false)", (breadth,))
    out = []
    for label, scope in (("unscoped", {}), ("tenant 10%", {"tenant_id": TENANTS[3]}),
                         ("tenant 0.1%", {"tenant_id": SMALL_TENANT})):
        candidates = all_rows if not scope else np.nonzero(tenants == scope["tenant_id"])[0]
        latencies, recalls = [], []
        for q in range(n_queries):
            query = queries[q].tolist()
            started = time.perf_counter()
            got = backend.vector_search(query, top_k=10, threshold=-1.0, **scope)
            latencies.append((time.perf_counter() - started) * 1e3)
            truth = exact_top(vectors, candidates, qn[q], 10)
            recalls.append(len({int(r["id"][1:]) for r in got} & truth) / len(truth))
        latencies.sort()
        out.append((n, breadth or own, label, len(candidates), statistics.median(latencies),
                    latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))], statistics.mean(recalls)))
    if breadth is not None:
        with backend._conn() as conn:
            conn.execute("SELECT set_config('hnsw.ef_search', %s, false)", (own,))
    return out


def scoped_search(dsn: str, n: int) -> list[tuple]:
    """Per scope of the tenant workload: recall@10, p50 and p99 of the old
    statement and of the backend, and p50 of ranking the whole scope exactly.
    The three run query by query in rotating order on their own connections."""
    backend, table = loaded_table(dsn, n, scope_dataset, "scopes")
    vectors, tenants, queries = scope_dataset(n)
    exact64 = vectors.astype(np.float64)
    old, exact = PlainPsycopg(dsn, table, ping=True), PlainPsycopg(dsn, table, ping=True)
    with psycopg.connect(dsn) as conn:
        (reltuples,) = conn.execute("SELECT reltuples FROM pg_class WHERE oid = %s::regclass", (table,)).fetchone()
    bound = max(EXACT_FLOOR, int(EXACT_PER_ROOT * max(reltuples, 0) ** 0.5))
    contenders = {"old": lambda q, **kw: old.vector_search(q, form="old", **kw),
                  "new": backend.vector_search,
                  "exact": lambda q, **kw: exact.vector_search(q, form="exact", **kw)}
    out = []
    for share, tenant in [(1.0, None)] + list(zip(SCOPE_SHARES, TENANTS)):
        scope = {} if tenant is None else {"tenant_id": tenant}
        candidates = np.arange(n) if tenant is None else np.nonzero(tenants == tenant)[0]
        names = [name for name in contenders if tenant is not None or name != "exact"]
        latencies = {name: [] for name in names}
        recalls = {name: [] for name in names}
        for i, q in enumerate(queries):
            truth = exact_top(exact64, candidates, q.astype(np.float64), 10)
            query = q.tolist()
            for name in names[i % len(names):] + names[:i % len(names)]:
                started = time.perf_counter()
                got = contenders[name](query, top_k=10, threshold=-1.0, **scope)
                latencies[name].append((time.perf_counter() - started) * 1e3)
                recalls[name].append(len({int(r["id"][1:]) for r in got} & truth) / len(truth))
        path = "index" if tenant is None or len(candidates) >= bound else "exact"
        cells = {}
        for name in names:
            lat = sorted(latencies[name])
            cells[name] = (statistics.mean(recalls[name]), statistics.median(lat),
                           lat[min(len(lat) - 1, int(0.99 * len(lat)))])
        out.append((n, "none" if tenant is None else f"{share:.1%}", len(candidates), path, cells))
    old.close()
    exact.close()
    backend._connection.close()
    print(f"  {n} rows: exact below {bound} rows of a scope (planner's table rows {reltuples:.0f})", flush=True)
    return out


def print_scoped(rows: list[tuple]) -> None:
    print(f"{'rows':>8} {'scope':>6} {'matching':>8} {'path':>5} | {'old: recall':>11} {'p50':>6} {'p99':>6} | "
          f"{'new: recall':>11} {'p50':>6} {'p99':>6} | {'p50 new/old':>11} | {'exact p50':>9}")
    for n, label, matching, path, cells in rows:
        old, new = cells["old"], cells["new"]
        exact = f"{cells['exact'][1]:9.2f}" if "exact" in cells else f"{'-':>9}"
        print(f"{n:8} {label:>6} {matching:8} {path:>5} | {old[0]:11.3f} {old[1]:6.2f} {old[2]:6.2f} | "
              f"{new[0]:11.3f} {new[1]:6.2f} {new[2]:6.2f} | {new[1] / old[1]:11.2f} | {exact}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--scopes", type=int, nargs="*", metavar="ROWS",
                        help="only the scoped-search table, at these sizes (default 10000 100000)")
    args = parser.parse_args()
    if args.scopes is not None:
        dsn = bench_database()
        print("== scoped vector_search on the tenant workload (top_k=10, 60 queries per scope; ms)", flush=True)
        rows = [row for n in (args.scopes or [10000, 100000]) for row in scoped_search(dsn, n)]
        print_scoped(rows)
        return
    sizes = [2000, 10000] if args.quick else [10000, 100000]
    n_queries = 50 if args.quick else 200

    dsn = bench_database()
    tables = {n: loaded_table(dsn, n) for n in sizes}
    with psycopg.connect(dsn) as conn:
        server = conn.execute("SELECT current_setting('server_version'), extversion FROM pg_extension "
                              "WHERE extname = 'vector'").fetchone()
    print(f"PostgreSQL {server[0]}, pgvector {server[1]}; psycopg {psycopg.__version__} ({psycopg.pq.__impl__}); "
          f"sizes {sizes}; width {DIM}; seed {SEED}", flush=True)
    largest = sizes[-1]
    _, _, queries = dataset(largest)

    print("\n== overhead against psycopg (mean us per operation; same run, interleaved)")
    rows = overhead(dsn, tables[largest][0], tables[largest][1], queries, args.quick)
    print(f"{'operation':46} {'vault':>9} {'same stmts':>11} {'ratio':>6} {'stmt only':>10} {'ratio':>6}")
    for label, t in rows:
        print(f"{label:46} {t['vault']:9.1f} {t['same']:11.1f} {t['vault'] / t['same']:6.3f} "
              f"{t['stmt']:10.1f} {t['vault'] / t['stmt']:6.3f}")

    print(f"\n== vector_search top_k=10: latency and recall@10 against exact search ({n_queries} queries)")
    print("   (ef_search: the backend's own setting; 40, pgvector's default, for reference)")
    print(f"{'rows':>7} {'ef_search':>9} {'scope':12} {'matching':>9} {'p50 ms':>8} {'p99 ms':>8} {'recall@10':>10}")
    runs = [(n, None) for n in sizes] + [(largest, "40")]
    for n, breadth in runs:
        for size, ef, label, matching, p50, p99, recall in quality(tables[n][0], n, queries, n_queries, breadth):
            print(f"{size:7} {ef:>9} {label:12} {matching:9} {p50:8.2f} {p99:8.2f} {recall:10.3f}")
    print("\n== scoped vector_search on the tenant workload (top_k=10, 60 queries per scope; ms)")
    print_scoped([row for n in ([10000] if args.quick else [10000, 100000]) for row in scoped_search(dsn, n)])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"\npeak RSS of this process: {peak:.0f} MiB")
    for backend, _ in tables.values():
        backend._connection.close()


if __name__ == "__main__":
    main()
