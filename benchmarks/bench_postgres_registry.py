"""validate_token on PostgreSQL: PostgresKeyRegistry vs. the same check written with psycopg.

The floor is one ``UPDATE ... RETURNING`` of the token's columns by key hash on
a plain psycopg connection, committed asynchronously as PostgresKeyRegistry
commits its validations. For each table size (rows bulk-loaded with COPY):

- latency: p50 and p99 of single validations from one process, registry and
  floor alternated in rounds over the same keys;
- throughput: total validations per second from 1 and 4 worker processes.

At 1,000 tokens the run also measures SharedKeyRegistry's 4-worker figure on a
token file of the same size (benchmarks/bench_shared_registry.py), and prints
the ratios: p50 within 1.5x of the floor and flat in the number of tokens;
4 workers at least 0.7x the floor's and 30x SharedKeyRegistry's.

Run: nice .venv/bin/python benchmarks/bench_postgres_registry.py [--sizes 1000,1000000] [--seconds 3] [--quick]
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, List

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # devtools/

import psycopg  # noqa: E402

from bench_shared_registry import build as build_token_file  # noqa: E402  (beside this file)
from bench_shared_registry import in_processes  # noqa: E402
from bench_shared_registry import throughput as shared_throughput  # noqa: E402
from devtools.postgres import ensure_server, scratch_database, stop_server  # noqa: E402
from vesperkit.auth.postgres_registry import PostgresKeyRegistry  # noqa: E402

TABLE = "bench_tokens"
COLUMNS = ("token_id, name, hashed_key, created_at, expires_at, expires_local, last_used, permissions, "
           "rate_limit, is_active, metadata, encrypted")
FLOOR = (f"UPDATE {TABLE} SET last_used = %s WHERE hashed_key = %s "
         "RETURNING token_id, name, hashed_key, created_at, expires_at, last_used, permissions, rate_limit, "
         "is_active, metadata, encrypted")


def key_of(i: int) -> str:
    return f"vsk_{i:043d}"


def load(dsn: str, n: int) -> None:
    """n tokens, bulk-loaded with COPY into a fresh table made by the registry."""
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute(f"DROP TABLE IF EXISTS {TABLE}")
    PostgresKeyRegistry(dsn, TABLE).close()
    rng = random.Random(n)
    now = datetime.datetime.now()
    with psycopg.connect(dsn) as conn:
        with conn.cursor().copy(f"COPY {TABLE} ({COLUMNS}) FROM STDIN") as copy:
            for i in range(n):
                expires = now + datetime.timedelta(days=rng.choice([30, 365])) if rng.random() < 0.5 else None
                copy.write_row((
                    f"tok_{i:016x}", f"service {i}", hashlib.sha256(key_of(i).encode()).hexdigest(),
                    now.isoformat(), expires and expires.isoformat(), expires, None,
                    rng.choice(['["read", "write"]', '["admin"]']), rng.choice([0, 600]), True,
                    f'{{"owner": "team-{rng.randrange(50)}", "tags": ["a", "b"]}}', False,
                ))
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute(f"VACUUM ANALYZE {TABLE}")


def floor_validator(dsn: str) -> Callable[[str], object]:
    conn = psycopg.connect(dsn, autocommit=True)
    conn.execute("SET synchronous_commit = off")

    def validate(api_key: str) -> object:
        hashed = hashlib.sha256(api_key.encode()).hexdigest()
        return conn.execute(FLOOR, (datetime.datetime.now().isoformat(), hashed)).fetchone()

    return validate


def registry_validator(dsn: str) -> Callable[[str], object]:
    return PostgresKeyRegistry(dsn, TABLE).validate_token


def latencies(validate: Callable[[str], object], keys: List[str]) -> List[float]:
    out = []
    for k in keys:
        start = time.perf_counter()
        result = validate(k)
        out.append(time.perf_counter() - start)
        assert result is not None
    return out


def worker(make: Callable[[str], Callable[[str], object]], dsn: str, n: int, seconds: float, start, counts) -> None:
    validate = make(dsn)
    rng = random.Random(os.getpid())
    start.wait()
    done, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        assert validate(key_of(rng.randrange(n))) is not None
        done += 1
    counts.put(done)


def percentile(values: List[float], q: float) -> float:
    return statistics.quantiles(values, n=100)[q - 1] if len(values) > 1 else values[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="1000,1000000", help="token counts, comma-separated")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each throughput run")
    parser.add_argument("--calls", type=int, default=20000, help="single validations per latency measurement")
    parser.add_argument("--quick", action="store_true", help="1,000 tokens, short runs")
    args = parser.parse_args()
    sizes = [1000] if args.quick else [int(s) for s in args.sizes.split(",")]
    seconds, calls = (1.0, 2000) if args.quick else (args.seconds, args.calls)
    print(f"validate_token on PostgreSQL, python {sys.version.split()[0]}, synchronous_commit=off for both")
    print(f"{'tokens':>9} {'':9} {'p50 us':>8} {'p99 us':>8} {'1 proc/s':>9} {'4 proc/s':>9}")
    try:
        with scratch_database(ensure_server(), prefix="bench") as dsn:
            p50s = {}
            for n in sizes:
                load(dsn, n)
                rng = random.Random(1)
                floor, registry = floor_validator(dsn), registry_validator(dsn)
                sample = [key_of(rng.randrange(n)) for _ in range(calls // 4)]
                t_floor: List[float] = []
                t_reg: List[float] = []
                for _ in range(4):  # alternated, so that both see the same machine
                    t_floor += latencies(floor, sample)
                    t_reg += latencies(registry, sample)
                rows = {}
                for label, times, make in (("floor", t_floor, floor_validator), ("registry", t_reg, registry_validator)):
                    rates = [in_processes(worker, (make, dsn, n), w, seconds) for w in (1, 4)]
                    rows[label] = (percentile(times, 50), percentile(times, 99), *rates)
                    p50, p99, one, four = rows[label]
                    print(f"{n:>9,} {label:9} {p50 * 1e6:8.0f} {p99 * 1e6:8.0f} {one:9.0f} {four:9.0f}")
                (fp50, _, _, f4), (rp50, _, _, r4) = rows["floor"], rows["registry"]
                p50s[n] = rp50
                print(f"{'':>9} ratios    p50 {rp50 / fp50:.2f}x of the floor (target <= 1.5x), "
                      f"4 processes {r4 / f4:.2f}x of the floor (target >= 0.7x)")
                if n == 1000:
                    with tempfile.TemporaryDirectory() as directory:
                        path = os.path.join(directory, "tokens.json")
                        shared = shared_throughput(path, build_token_file(path, n), 4, seconds)
                    print(f"{'':>9} SharedKeyRegistry 4 processes {shared:.0f}/s: registry {r4 / shared:.1f}x "
                          "(target >= 30x)")
            if len(p50s) > 1:
                low, high = min(p50s), max(p50s)
                print(f"p50 at {high:,} tokens / at {low:,}: {p50s[high] / p50s[low]:.2f}x (flat: about 1x)")
    finally:
        stop_server()


if __name__ == "__main__":
    main()
