"""Shared test set-up."""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# devtools/ (the local PostgreSQL server used by tests and the demo) lives at the top.
sys.path.insert(0, str(ROOT))

IN_CI = os.environ.get("CI") == "true"


# ---------------------------------------------------------------- PostgreSQL
#
# One server per test session (VESPERKIT_TEST_DSN, or the embedded server of
# devtools started here and stopped at the end), one scratch database on it,
# and uniquely named tables per test. Under CI a missing server fails the
# tests that need it instead of skipping them.

import secrets

import pytest


@pytest.fixture(scope="session")
def pg_dsn():
    """Connection string of a scratch database with pgvector available, dropped at the end."""
    import psycopg

    from devtools import postgres

    try:
        server = postgres.ensure_server()
        if os.environ.get(postgres.DSN_ENV):
            psycopg.connect(server).close()  # reachable?
        else:
            postgres.drop_stale_databases(server, "vsk_test")
    except Exception as exc:  # no server: the tests that need one cannot run
        message = f"no PostgreSQL server with pgvector: {exc!r}"
        if IN_CI:
            pytest.fail(message)
        pytest.skip(message)

    try:
        dsn = postgres.create_database(server, "vsk_test")
        owned = True
    except psycopg.errors.InsufficientPrivilege:
        dsn, owned = server, False  # an external server without CREATEDB: unique tables suffice
    yield dsn
    if owned:
        postgres.drop_database(dsn)
    postgres.stop_server()


@pytest.fixture
def pg_admin(pg_dsn):
    """A separate autocommit connection to the scratch database, for inspecting and arranging rows."""
    import psycopg

    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        yield conn


@pytest.fixture
def table_name(pg_dsn):
    """A fresh table name, dropped after the test."""
    import psycopg

    name = f"t_{secrets.token_hex(6)}"
    yield name
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        conn.execute(f"DROP TABLE IF EXISTS {name}")
