"""Benchmark of PostgresVectorBackend.hybrid_search: quality, latency, and the scope decision.

Workload (seeded, no network): memory summaries of 64 topics, each summary
written with two words of its topic's four-word vocabulary, common words
around them, and often a name: a ticket ("OPS-4127") or a person ("Ana
Kowalski"). Embeddings carry the topic only (a topic direction with local
variation), as an embedding model does with rare names. Queries, labelled
from the text:

- names:  a name alone, often in a question ("what did we decide about
  OPS-4127?"); relevant: the 3 to 5 summaries that mention it. The query
  embedding carries no topic.
- topics: two words of a topic's vocabulary; relevant: the topic's summaries;
  the query embedding is the topic's.
- mixed:  a name that is mentioned 16 times across topics, with two words of
  one of its topics; relevant: the summaries that mention the name within
  that topic (2 or 3). The query embedding is the topic's.
- mixed/para: the same, but the two topic words are other words for the
  topic that no summary uses (as a user asks about "billing" where the
  summaries say "invoice"): only the embedding tells the topic.

1. Quality: recall@10 (of min(10, relevant)) and nDCG@10 of vector_search
   (vector), hybrid_search without embedding (text: its word ranking alone)
   and hybrid_search (hybrid), per query kind, with the text index.
2. Latency: p50 and p99 of hybrid_search next to vector_search, query by
   query in alternation, unscoped and scoped (tenants of 40% and 1%), with the
   text index; and hybrid_search without it (every tenth query), for reference.
3. The scope decision: right after the load (analysed, not vacuumed;
   autovacuum off for the table) and after VACUUM, p50 of the count that
   decided small scopes before (every row up to the bound), of the statement
   the backend sends now, and of the two searches on the 40% tenant (with
   the text index). Sections 1 and 2 run after the VACUUM.

Run: .venv/bin/python benchmarks/bench_hybrid_search.py [--rows 10000 100000]
(default 10000). Tables live in the database "vsk_bench" and are rebuilt each run.
"""

from __future__ import annotations

import argparse
import math
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
sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_vector_vault import bench_database  # noqa: E402

from vesperkit.memory.backends.vector_vault import PostgresVectorBackend  # noqa: E402

SEED = 20261208
DIM = 384
TOPICS = 64
VOCABULARY = 4
TENANTS = [("t40", 0.40), ("t25", 0.25), ("t15", 0.15), ("t10", 0.10), ("t06", 0.06), ("t03", 0.03), ("t01", 0.01)]
OPENINGS = ["We talked about", "Working session on", "Short sync about", "Reviewed the", "Notes from the call on",
            "The team discussed", "Follow-up on"]
CLOSINGS = ["and agreed on the next steps.", "; what we decided goes to the weekly report.",
            "and we will check it again next week.", "with a few open questions left.", "."]
FIRST = ["Ana", "Luca", "Maya", "Olga", "Tomas", "Greta", "Viktor", "Uma", "Sana", "Ravi", "Ines", "Jonas", "Mei",
         "Pavel", "Lea", "Omar", "Nora", "Felix", "Aiko", "Bruno"]
LAST = ["Kowalski", "Moreau", "Ivanova", "Silva", "Novak", "Schmidt", "Mensah", "Okafor", "Tanaka", "Rossi",
        "Haddad", "Larsen", "Costa", "Dubois", "Fischer", "Varga", "Nakamura", "Quinn", "Berg", "Ortiz"]
KINDS = ("names", "topics", "mixed", "mixed/para")
QUESTIONS = ["what did we decide about {}?", "{}", "anything new on {}", "who worked on {} last time?"]
DECISION_BEFORE = (  # the count that decided small scopes before the statistics were consulted
    "WITH bound AS (SELECT greatest(5000, 20 * sqrt(greatest(reltuples, 0)))::bigint AS n "
    "FROM pg_class WHERE oid = '{0}'::regclass) "
    "SELECT count(*) < (SELECT n FROM bound) FROM (SELECT FROM {0} WHERE tenant_id = %s LIMIT (SELECT n FROM bound)) c")


# ---------------------------------------------------------------- data


def unit(x: np.ndarray) -> np.ndarray:
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


def pseudo_words(rng: np.random.Generator, n: int) -> list[str]:
    syllables = ["ka", "lo", "mi", "ren", "su", "ta", "vo", "xi", "del", "pra", "qu", "zen", "bor", "fi", "gan", "hu"]
    words: set[str] = set()
    while len(words) < n:
        words.add("".join(rng.choice(syllables, size=3)))
    return sorted(words)


class Workload:
    def __init__(self, n: int):
        rng = np.random.default_rng(SEED)
        self.n = n
        words = pseudo_words(rng, 2 * TOPICS * VOCABULARY)
        rng.shuffle(words)
        self.vocab = np.array(words[: TOPICS * VOCABULARY]).reshape(TOPICS, VOCABULARY)
        # Other words for the same topics, never written in a summary: what a user's question says instead.
        self.paraphrase = np.array(words[TOPICS * VOCABULARY:]).reshape(TOPICS, VOCABULARY)
        self.directions = unit(rng.normal(size=(TOPICS, DIM)))
        self.bases = rng.normal(size=(TOPICS, DIM, 8)) / np.sqrt(DIM)
        self.topic = rng.integers(0, TOPICS, n)
        shares = np.array([s for _, s in TENANTS])
        self.tenant = np.array([t for t, _ in TENANTS], dtype=object)[rng.choice(len(TENANTS), n, p=shares / shares.sum())]
        self.mention: list[str | None] = [None] * n
        free = list(rng.permutation(n))
        people = [f"{a} {b}" for a in FIRST for b in LAST]
        rng.shuffle(people)
        # Rare names (tickets and people), 3 to 5 mentions each, in any topic.
        self.rare: dict[str, list[int]] = {}
        for i in range(n // 40):
            name = f"OPS-{1000 + i}" if i % 2 else people[i // 2 % len(people)] + ("" if i // 2 < len(people) else f" {i}")
            self.rare[name] = [free.pop() for _ in range(int(rng.integers(3, 6)))]
        # Frequent names, about 30 mentions each: 2 or 3 in each of three home topics, the rest anywhere.
        by_topic = {t: [i for i in free if self.topic[i] == t] for t in range(TOPICS)}
        taken: set[int] = set()
        self.frequent: dict[str, dict[int, list[int]]] = {}
        for j in range(max(8, n // 400)):
            name = f"INC-{7000 + j}"
            homes = {}
            for t in rng.choice(TOPICS, 3, replace=False):
                pool = [i for i in by_topic[int(t)] if i not in taken][: int(rng.integers(2, 4))]
                homes[int(t)] = pool
                taken.update(pool)
            rest = [i for i in free if i not in taken][: 16 - sum(len(v) for v in homes.values())]
            taken.update(rest)
            free = [i for i in free if i not in taken]
            self.frequent[name] = homes
            for i in [i for v in homes.values() for i in v] + rest:
                self.mention[i] = name
        for name, rows in self.rare.items():
            for i in rows:
                self.mention[i] = name
        self.summaries = [self.summary(rng, i) for i in range(n)]
        self.vectors = self.embed(rng, self.topic)

    def summary(self, rng: np.random.Generator, i: int) -> str:
        w1, w2 = rng.choice(self.vocab[self.topic[i]], 2, replace=False)
        who = f" with {self.mention[i]}" if self.mention[i] else ""
        return f"{rng.choice(OPENINGS)} the {w1} {w2}{who} {rng.choice(CLOSINGS)}"

    def embed(self, rng: np.random.Generator, topics: np.ndarray) -> np.ndarray:
        local = np.einsum("ndk,nk->nd", self.bases[topics], rng.normal(size=(len(topics), 8)))
        noise = unit(rng.normal(size=(len(topics), DIM)))
        return unit(self.directions[topics] + 0.3 * local + 0.25 * noise).astype(np.float32)

    def queries(self, per_kind: int) -> list[tuple[str, str, list[float], set[str]]]:
        """(kind, text, embedding, relevant ids)."""
        rng = np.random.default_rng(SEED + 1)
        out = []
        for name in rng.choice(sorted(self.rare), per_kind, replace=False):
            text = str(rng.choice(QUESTIONS)).format(name)
            out.append(("names", text, unit(rng.normal(size=DIM)).tolist(), {f"m{i}" for i in self.rare[name]}))
        for t in rng.choice(TOPICS, per_kind, replace=per_kind > TOPICS):
            words = " ".join(rng.choice(self.vocab[t], 2, replace=False))
            relevant = {f"m{i}" for i in np.nonzero(self.topic == t)[0]}
            out.append(("topics", words, self.embed(rng, np.array([t]))[0].tolist(), relevant))
        pairs = [(name, t) for name, homes in self.frequent.items() for t in homes]
        for kind, vocab in (("mixed", self.vocab), ("mixed/para", self.paraphrase)):
            for k in rng.choice(len(pairs), min(per_kind, len(pairs)), replace=False):
                name, t = pairs[int(k)]
                words = " ".join(rng.choice(vocab[t], 2, replace=False))
                text = f"{name} {words}" if k % 2 else f"what did {name} say about the {words}?"
                relevant = {f"m{i}" for i in self.frequent[name][t]}
                out.append((kind, text, self.embed(rng, np.array([t]))[0].tolist(), relevant))
        return out


def load(dsn: str, w: Workload) -> tuple[PostgresVectorBackend, str]:
    table = f"hybrid_{w.n}"
    backend = PostgresVectorBackend(dsn, embedding_dim=DIM, table=table, reset=True)
    started = time.perf_counter()
    with psycopg.connect(dsn, autocommit=True) as conn:
        register_vector(conn)
        conn.execute(f"ALTER TABLE {table} SET (autovacuum_enabled = false)")
        conn.execute(f"DROP INDEX {table}_emb")
        with conn.cursor() as cur, cur.copy(
                f"COPY {table} (id, tenant_id, summary, record, embedding) FROM STDIN WITH (FORMAT BINARY)") as copy:
            copy.set_types(["text", "text", "text", "jsonb", "vector"])
            for i in range(w.n):
                rec = {"id": f"m{i}", "tenant_id": w.tenant[i], "summary": w.summaries[i]}
                copy.write_row((rec["id"], rec["tenant_id"], rec["summary"], rec, Vector(w.vectors[i])))
        conn.execute(f"SET maintenance_work_mem = '{max(1, -(-w.n * 3 // 1_000_000))}GB'")
        conn.execute(f"CREATE INDEX {table}_emb ON {table} USING hnsw (embedding vector_cosine_ops)")
        conn.execute(f"ANALYZE {table}")  # what a loader does; the vacuum is left to later
    print(f"  loaded {w.n} rows into {table} in {time.perf_counter() - started:.0f} s", flush=True)
    return backend, table


# ---------------------------------------------------------------- measures


def ndcg(ids: list[str], relevant: set[str], k: int = 10) -> float:
    dcg = sum(1 / math.log2(r + 2) for r, i in enumerate(ids[:k]) if i in relevant)
    ideal = sum(1 / math.log2(r + 2) for r in range(min(k, len(relevant))))
    return dcg / ideal


def recall(ids: list[str], relevant: set[str], k: int = 10) -> float:
    return len(set(ids[:k]) & relevant) / min(k, len(relevant))


def quality(backend, queries) -> dict:
    systems = {
        "vector": lambda text, emb: backend.vector_search(emb, top_k=10, threshold=-1.0),
        "text": lambda text, emb: backend.hybrid_search(text, [], top_k=10),
        "hybrid": lambda text, emb: backend.hybrid_search(text, emb, top_k=10),
    }
    out: dict = {}
    for kind, text, emb, relevant in queries:
        for name, fn in systems.items():
            ids = [r["id"] for r in fn(text, emb)]
            cell = out.setdefault((kind, name), ([], []))
            cell[0].append(recall(ids, relevant))
            cell[1].append(ndcg(ids, relevant))
    return {key: (statistics.mean(r), statistics.mean(g)) for key, (r, g) in out.items()}


def percentiles(ms: list[float]) -> tuple[float, float]:
    ms = sorted(ms)
    return statistics.median(ms), ms[min(len(ms) - 1, int(0.99 * len(ms)))]


def latency(backend, queries, scope: dict, contenders=("vector", "hybrid")) -> dict:
    fns = {
        "vector": lambda text, emb: backend.vector_search(emb, top_k=10, threshold=-1.0, **scope),
        "hybrid": lambda text, emb: backend.hybrid_search(text, emb, top_k=10, **scope),
    }
    times = {name: [] for name in contenders}
    for _ in range(2):  # the first pass warms the caches
        for name in times:
            times[name].clear()
        for q, (_, text, emb, _) in enumerate(queries):
            order = list(contenders) if q % 2 else list(reversed(contenders))
            for name in order:
                started = time.perf_counter()
                fns[name](text, emb)
                times[name].append((time.perf_counter() - started) * 1e3)
    return {name: percentiles(t) for name, t in times.items()}


def decision(dsn: str, backend, table: str, queries) -> dict:
    """p50 (ms) of the old count, the statement sent now, and both searches on the 40% tenant."""
    out = {}
    with psycopg.connect(dsn, autocommit=True) as conn:
        t = []
        for _ in range(60):
            started = time.perf_counter()
            conn.execute(DECISION_BEFORE.format(table), ("t40",)).fetchone()
            t.append((time.perf_counter() - started) * 1e3)
        out["count before"] = statistics.median(t)
    sent = []  # the backend's own statement and parameters, from a traced call
    backend.stats()
    original = backend._connection.execute

    def tracing(sql, params=None, **kw):
        if str(sql).startswith("WITH bound"):
            sent.append((sql, params))
        return original(sql, params, **kw)

    backend._connection.execute = tracing
    backend.vector_search(queries[0][2], top_k=10, threshold=-1.0, tenant_id="t40")
    del backend._connection.execute
    sql, params = sent[0]
    with psycopg.connect(dsn, autocommit=True) as conn:
        t = []
        for _ in range(60):
            started = time.perf_counter()
            conn.execute(sql, params).fetchone()
            t.append((time.perf_counter() - started) * 1e3)
        out["decision now"] = statistics.median(t)
    for name, (p50, _) in latency(backend, queries[:60], {"tenant_id": "t40"}).items():
        out[name] = p50
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, nargs="*", default=[10000], help="table sizes (default 10000)")
    parser.add_argument("--queries", type=int, default=60, help="queries per kind (default 60)")
    args = parser.parse_args()
    dsn = bench_database()
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute("CREATE EXTENSION IF NOT EXISTS vector")
        server = conn.execute("SELECT current_setting('server_version'), extversion FROM pg_extension "
                              "WHERE extname = 'vector'").fetchone()
    print(f"PostgreSQL {server[0]}, pgvector {server[1]}; width {DIM}; seed {SEED}; top_k 10", flush=True)
    for n in args.rows:
        print(f"\n=== {n} rows", flush=True)
        w = Workload(n)
        backend, table = load(dsn, w)
        queries = w.queries(args.queries)

        # Without the text index every word of a query scans the scope: a few queries suffice.
        unindexed = latency(backend, queries[::10], {}, ("hybrid",))["hybrid"]
        started = time.perf_counter()
        backend.create_text_index()
        print(f"  create_text_index: {time.perf_counter() - started:.1f} s", flush=True)

        bound = max(5000, int(20 * n ** 0.5))
        share = int((w.tenant == "t40").sum())
        print(f"\n-- scope decision, 40% tenant: {share} rows, ranked exactly below {bound} (p50 ms)")
        print(f"{'state':28} {'count before':>12} {'decision now':>12} {'vector_search':>13} {'hybrid_search':>13}")
        for state in ("analysed, not vacuumed", "after VACUUM"):
            if state == "after VACUUM":
                with psycopg.connect(dsn, autocommit=True) as conn:
                    conn.execute(f"VACUUM {table}")
            d = decision(dsn, backend, table, queries)
            print(f"{state:28} {d['count before']:12.2f} {d['decision now']:12.2f} {d['vector']:13.2f} "
                  f"{d['hybrid']:13.2f}", flush=True)

        print("\n-- quality (mean over queries; relevant from the text)")
        print(f"{'kind':8} {'queries':>7} | {'recall@10 vector':>16} {'text':>6} {'hybrid':>6} | "
              f"{'nDCG@10 vector':>14} {'text':>6} {'hybrid':>6}")
        q = quality(backend, queries)
        for kind in KINDS:
            count = sum(1 for k, *_ in queries if k == kind)
            r = {s: q[(kind, s)] for s in ("vector", "text", "hybrid")}
            print(f"{kind:8} {count:7} | {r['vector'][0]:16.3f} {r['text'][0]:6.3f} {r['hybrid'][0]:6.3f} | "
                  f"{r['vector'][1]:14.3f} {r['text'][1]:6.3f} {r['hybrid'][1]:6.3f}", flush=True)

        print("\n-- latency, with the text index (ms; same run, alternating query by query)")
        print(f"{'scope':18} {'vector p50':>10} {'p99':>7} | {'hybrid p50':>10} {'p99':>7} | {'p50 hybrid/vector':>17}")
        for label, scope in (("unscoped", {}), ("tenant 40%", {"tenant_id": "t40"}), ("tenant 1%", {"tenant_id": "t01"})):
            lat = latency(backend, queries, scope)
            (v50, v99), (h50, h99) = lat["vector"], lat["hybrid"]
            print(f"{label:18} {v50:10.2f} {v99:7.2f} | {h50:10.2f} {h99:7.2f} | {h50 / v50:17.2f}", flush=True)
        print(f"{'unscoped, no index':18} {'':>10} {'':>7} | {unindexed[0]:10.2f} {unindexed[1]:7.2f} |")
        backend._connection.close()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"\npeak RSS of this process: {peak:.0f} MiB")


if __name__ == "__main__":
    main()
