"""Stand-ins shared by the tests.

`FakeDriver` replaces the `psycopg` module (and `register_vector`) inside the
vector vault through the module's globals. It records every connection, every
statement (with its whitespace flattened) and its parameters, and every close;
a test decides what a statement answers through `answers` (by statement text),
and may replace any answer with anything at all through `odd` ("execute",
"rows", "rowcount", "fetchone", "fetchall", "closed", "connect", "close",
"fileno").
"""

import os
import socket
import stat

from hostile import Boom

VERSION_SQL = "SELECT extversion FROM pg_extension WHERE extname = 'vector'"


def flat(sql):
    return " ".join(str(sql).split())


class FakeError(Exception):
    """Base error class of the stand-in driver."""


class FakeCursor:
    def __init__(self, rows=(), rowcount=0):
        self.rows = list(rows)
        self.rowcount = rowcount

    def fetchone(self):
        return self.rows[0] if self.rows else None

    def fetchall(self):
        return list(self.rows)


def _raising(exc):
    def fail():
        raise exc

    return fail


class FakeConnection:
    def __init__(self, driver):
        self.driver = driver
        self._closed = False
        self.socket_at_close = None
        # A real socket when asked for, so that the inherited-connection path can silence it.
        self.pair = socket.socketpair() if driver.sockets else None

    @property
    def closed(self):
        return self.driver.odd.get("closed", self._closed)

    @closed.setter
    def closed(self, value):
        self._closed = value

    def fileno(self):
        return self.driver.odd.get("fileno", self.pair[0].fileno() if self.pair else -1)

    def execute(self, sql, params=None):
        driver, odd = self.driver, self.driver.odd
        driver.log.append((flat(sql), params))
        answer = odd["execute"] if "execute" in odd else driver.answers.get(flat(sql)) or driver.canned(flat(sql))
        if isinstance(answer, BaseException):
            raise answer
        if "execute" in odd or not isinstance(answer, FakeCursor):
            return answer
        cursor = FakeCursor(odd.get("rows", answer.rows), odd.get("rowcount", answer.rowcount))
        for name in ("fetchone", "fetchall"):
            if name in odd:
                value = odd[name]
                setattr(cursor, name, _raising(value) if isinstance(value, BaseException) else (lambda v=value: v))
        return cursor

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.driver.log.append(("close", self))
        if "close" in self.driver.odd:
            raise Boom("close")
        if not self._closed and self.pair:
            self.socket_at_close = stat.S_ISSOCK(os.fstat(self.pair[0].fileno()).st_mode)
        self._closed = True


class FakeDriver:
    """Stands in for the `psycopg` module. With `rows`, statements without an
    answer of their own get plausible rows (a count of 4, two search results,
    one record) and a rowcount of 1; otherwise an empty cursor."""

    Error = FakeError

    def __init__(self, *, sockets=False, rows=False):
        self.sockets, self.rows = sockets, rows
        self.log, self.connections, self.odd = [], [], {}
        self.connect_error = self.register_error = None
        self.answers = {VERSION_SQL: FakeCursor([("0.8.6",)])}

    def canned(self, sql):
        if not self.rows:
            return FakeCursor()
        if sql.startswith("SELECT count(*)"):
            return FakeCursor([(4,)], 1)
        if sql.startswith("SELECT record, 1 -"):
            return FakeCursor([({"id": "a", "score": 0}, 0.9), ({"id": "b"}, 0.1)], 1)
        if sql.startswith("SELECT record FROM"):
            return FakeCursor([({"id": "a"},)], 1)
        return FakeCursor((), 1)

    def connect(self, dsn, *, autocommit):
        self.log.append(("connect", dsn, autocommit))
        if "connect" in self.odd or self.connect_error is not None:
            answer = self.odd.get("connect", self.connect_error)
            if isinstance(answer, BaseException):
                raise answer
            return answer
        conn = FakeConnection(self)
        self.connections.append(conn)
        return conn

    def register_vector(self, conn):
        self.log.append(("register_vector", conn))
        if self.register_error is not None:
            raise self.register_error

    def statements(self):
        return [entry[0] for entry in self.log if isinstance(entry[0], str) and entry[0][0].isupper()]

    def close_sockets(self):
        for conn in self.connections:
            for s in conn.pair or ():
                s.close()


def install_driver(monkeypatch, vault_module, **options):
    """A FakeDriver bound as the module's `psycopg` and `register_vector`."""
    driver = FakeDriver(**options)
    monkeypatch.setattr(vault_module, "psycopg", driver)
    monkeypatch.setattr(vault_module, "register_vector", driver.register_vector)
    return driver
