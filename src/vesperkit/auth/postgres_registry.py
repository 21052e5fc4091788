"""An API key registry kept in one PostgreSQL table.

`KeyRegistry` keeps its tokens in a file owned by one process and
`SharedKeyRegistry` lets the processes of one machine share such a file.
`PostgresKeyRegistry` keeps them in a table, so that every worker process of
every machine that reaches the database sees the same tokens and counts one
rate limit per key. Its operations, parameters, argument checks, messages and
results are those of `KeyRegistry`; the `Token` objects it returns are
snapshots of the rows.
"""

from __future__ import annotations

import atexit
import contextlib
import datetime
import hashlib
import json
import os
import secrets
import select
import threading
import weakref
from pathlib import Path
from types import TracebackType
from typing import Any, Dict, Iterator, List, Optional, Tuple

import psycopg
from psycopg_pool import ConnectionPool

from ..utils.encryption import FileEncryptor
from ..utils.text import validate_file_path
from ._checks import require, to_int, type_error
from .key_registry import Token, _replace_token_file

__all__ = ["PostgresKeyRegistry"]

_COLUMNS = ("token_id, name, hashed_key, created_at, expires_at, last_used, permissions, rate_limit, "
            "is_active, metadata, encrypted")


# ---------------------------------------------------------------- arguments

def _json_text(value: Any, arg: str) -> str:
    """The JSON text kept for `value`; refused before anything changes when JSON cannot hold it."""
    try:
        text = json.dumps(value, ensure_ascii=False)
        text.encode("utf-8")  # lone surrogates: the database stores UTF-8
    except TypeError as exc:
        raise TypeError(f"Argument '{arg}' cannot be stored: {exc}") from None
    except ValueError as exc:
        raise ValueError(f"Argument '{arg}' cannot be stored: {exc}") from None
    return text


def _check_table_name(table: str) -> None:
    # The rule of the vector store: only letters, digits (of any script) and
    # "_" reach the statements, into which the name is spliced.
    if not table.replace("_", "").isalnum():
        raise ValueError(f"Invalid table name {table!r}")


def _local_expiry(expires_at: Optional[str]) -> Optional[datetime.datetime]:
    """The naive local time that `Token.is_expired` compares with the current time.

    A text with a UTC offset names an instant; it is kept as that instant in
    the local time of the writing process (`Token.is_expired` cannot compare
    it and raises).
    """
    if expires_at is None:
        return None
    when = datetime.datetime.fromisoformat(expires_at)
    if when.tzinfo is not None:
        when = when.astimezone().replace(tzinfo=None)
    return when


# ---------------------------------------------------------------- connections

def _closed_by_server(conn: psycopg.Connection) -> bool:
    """Whether an idle pooled connection is gone; one round trip only when in doubt.

    An idle session receives nothing unless the server ends it (a restart, a
    terminated backend) or sends a notice; a readable socket is then checked
    with a query, which fails on a closed session.
    """
    poller = select.poll()
    poller.register(conn.fileno(), select.POLLIN)
    if not poller.poll(0):
        return False
    try:
        conn.execute("SELECT 1")
    except psycopg.OperationalError:
        return True
    return False


def _configure(conn: psycopg.Connection) -> None:
    # What validate_token writes (the last-used stamp, the request window) is
    # advisory and may commit asynchronously; changes to keys raise it again.
    conn.execute("SET synchronous_commit = off")


_registries: "weakref.WeakSet[PostgresKeyRegistry]" = weakref.WeakSet()


def _after_fork_in_child() -> None:
    # Only the forking thread survives a fork: a lock held by another thread
    # would never be released.
    for registry in list(_registries):
        registry._pool_lock = threading.Lock()


def _close_at_exit() -> None:
    # A pool left open until the interpreter's teardown cannot stop its
    # threads any more, and waits for each of them in vain.
    for registry in list(_registries):
        registry.close()


os.register_at_fork(after_in_child=_after_fork_in_child)
atexit.register(_close_at_exit)


class PostgresKeyRegistry:
    """API keys kept in one PostgreSQL table, shared by every process and machine.

    Use it where the workers of an API server run on several machines, or
    where several worker processes must share one rate limit per key;
    `KeyRegistry` is for one process and `SharedKeyRegistry` for the
    processes of one machine sharing a token file.

    The operations (`create_token`, `validate_token`, `revoke_token`,
    `delete_token`, `list_tokens`, `get_token`, `update_token`,
    `regenerate_key`), their parameters, argument checks, messages and
    results, the key and token-id forms and `TOKEN_PREFIX` are those of
    `KeyRegistry`, with these differences:

    - The `Token` objects returned are snapshots of the rows: changing one
      changes nothing stored, and a later call returns a new object. Their
      permissions and metadata are what JSON kept of the values given (a
      tuple comes back as a list, an int dict key as a str).
    - Permissions or metadata that JSON cannot hold are refused before
      anything changes: ``TypeError`` or ``ValueError`` "Argument
      'metadata' cannot be stored: <reason>" (or 'permissions').
    - The rate limit is counted for all users of the table together and kept
      across restarts: at most `rate_limit` successful validations of one key
      in any 60 seconds of the database server's clock. The row keeps the
      times of the key's last `rate_limit` successes, which is all the rule
      needs. Tokens without a limit keep no request window, so raising a
      limit from 0 starts an empty one.
    - Expiry compares the calling process's naive local time with the
      stored text, as `Token.is_expired` does. An imported ``expires_at``
      with a UTC offset (on which `Token.is_expired` raises) is taken as
      that instant; one that is not ISO 8601 text is refused at import.
    - A failed call raises the database driver's error
      (``psycopg.Error``); nothing is half-written, since every change is
      one statement or one transaction.

    Durability: every change to a key (create, revoke, update, regenerate,
    delete, import) commits synchronously, so an acknowledged change is never
    lost. `validate_token` commits asynchronously: what it writes (the
    last-used stamp and the request window) is advisory, and a server crash
    may lose the last fraction of a second of it, never a key's state.

    Connections come from a `psycopg_pool.ConnectionPool` of up to
    `pool_size` connections per process, opened at the first operation; one
    object may be used by many threads at once. A forked child opens its own
    pool and never touches its parent's connections. After a server restart
    the next call finds the closed connections and reconnects; while the
    server is down, calls raise after waiting `pool_timeout` seconds for a
    connection, and `validate_token` never answers without the database.

    Table (created with its indexes if missing, so construction is
    idempotent): one row per token, keyed by ``token_id``, with a unique
    index on ``hashed_key``; ``seq`` keeps the order in which tokens were
    created or imported. With an encryption key, ``name``, ``permissions``
    and ``metadata`` are stored encrypted with `FileEncryptor`
    (``encrypted`` is true); the hash, id, dates, limit and state stay plain
    for the lookup.
    """

    TOKEN_PREFIX = "vsk_"

    def __init__(
        self,
        dsn: str,
        table: str = "vsk_tokens",
        encryption_key: Optional[str] = None,
        *,
        pool_size: int = 4,
        pool_timeout: float = 10.0,
    ) -> None:
        """Connect to `dsn` (a libpq connection string) and create `table` if missing.

        `table` is checked like the vector store's: ``ValueError`` "Invalid
        table name ..." for anything but letters, digits and "_". A non-empty
        `encryption_key` (a Fernet key) makes new and changed rows store
        their name, permissions and metadata encrypted. `pool_size` bounds
        the connections per process; `pool_timeout` is how long a call waits
        for one.
        """
        require(dsn, "dsn", str)
        require(table, "table", str)
        require(encryption_key, "encryption_key", str, optional=True)
        pool_size = to_int(pool_size, "pool_size")
        if pool_size < 1:
            raise ValueError("pool_size must be at least 1")
        if not (hasattr(type(pool_timeout), "__float__") or hasattr(type(pool_timeout), "__index__")):
            raise type_error("pool_timeout", "float", pool_timeout)
        _check_table_name(table)
        self._dsn = dsn
        self._table = table
        self._encryptor = FileEncryptor(key=encryption_key) if encryption_key else None
        self._pool_size = pool_size
        self._pool_timeout = float(pool_timeout)
        self._pool: Optional[ConnectionPool] = None
        self._pool_pid: Optional[int] = None
        self._pool_lock = threading.Lock()
        self._sql = _Statements(table)
        _registries.add(self)
        # A direct connection, so that a wrong connection string fails at once
        # with the driver's own error instead of a pool time-out.
        with psycopg.connect(dsn, autocommit=True) as conn:
            self._sql.create_schema(conn)

    # ------------------------------------------------------------ connections

    def _current_pool(self) -> ConnectionPool:
        pid = os.getpid()
        if self._pool_pid != pid:
            with self._pool_lock:
                if self._pool_pid != pid:
                    # An inherited pool is dropped, not closed: closing would
                    # end the parent's sessions on the shared sockets.
                    pool = ConnectionPool(
                        self._dsn, min_size=1, max_size=self._pool_size, timeout=self._pool_timeout,
                        kwargs={"autocommit": True}, configure=_configure, open=False,
                        name=f"vesperkit-tokens-{self._table}",
                    )
                    # Waiting for the first connection keeps a single-threaded
                    # caller on one connection (and its server process): a
                    # first request that had to wait would grow the pool.
                    try:
                        pool.open(wait=True, timeout=self._pool_timeout)
                    except BaseException:
                        pool.close()
                        raise
                    self._pool, self._pool_pid = pool, pid
        assert self._pool is not None
        return self._pool

    def _checkout(self) -> Tuple[ConnectionPool, psycopg.Connection]:
        """A connection of this process's pool; give it back with ``pool.putconn``."""
        pool = self._current_pool()
        # After a restart every idle connection of the pool may be closed:
        # each is tried once before one is taken without the check.
        for _ in range(self._pool_size):
            conn = pool.getconn()
            try:
                if not _closed_by_server(conn):
                    return pool, conn
            except BaseException:
                pool.putconn(conn)
                raise
            pool.putconn(conn)  # closed: the pool replaces it
        return pool, pool.getconn()

    @contextlib.contextmanager
    def _connection(self) -> Iterator[psycopg.Connection]:
        pool, conn = self._checkout()
        try:
            yield conn
        finally:
            pool.putconn(conn)

    @contextlib.contextmanager
    def _durable(self) -> Iterator[psycopg.Connection]:
        """A transaction that commits synchronously: what it changes survives a crash."""
        with self._connection() as conn, conn.transaction():
            conn.execute("SET LOCAL synchronous_commit = on")
            yield conn

    def close(self) -> None:
        """Close this process's connections; the next operation opens new ones."""
        with self._pool_lock:
            pool, owned = self._pool, self._pool_pid == os.getpid()
            self._pool, self._pool_pid = None, None
        if pool is not None and owned:
            pool.close()

    def __enter__(self) -> PostgresKeyRegistry:
        return self

    def __exit__(self, exc_type: Optional[type], exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()

    # ------------------------------------------------------------ rows

    def _seal(self, text: str) -> str:
        return text if self._encryptor is None else self._encryptor.encrypt_text(text).decode("ascii")

    def _unseal(self, token_id: str, text: str, encrypted: bool) -> str:
        if not encrypted:
            return text
        if self._encryptor is None:
            raise ValueError(f"Token {token_id!r} is stored encrypted: an encryption key is needed to read it")
        return self._encryptor.decrypt_text(text.encode("ascii"))

    def _token(self, row: Tuple[Any, ...]) -> Token:
        token_id, name, hashed_key, created_at, expires_at, last_used, permissions, rate_limit, \
            is_active, metadata, encrypted = row
        if encrypted:
            name, permissions, metadata = (self._unseal(token_id, v, True) for v in (name, permissions, metadata))
        return Token(token_id, name, hashed_key, created_at, expires_at, last_used, json.loads(permissions),
                     int(rate_limit), is_active, json.loads(metadata))

    def _row(self, token: Token, permissions: str, metadata: str) -> Tuple[Any, ...]:
        """The parameters of `_Statements.insert` for `token`, with its JSON texts."""
        return (token.token_id, self._seal(token.name), token.hashed_key, token.created_at, token.expires_at,
                _local_expiry(token.expires_at), token.last_used, self._seal(permissions), token.rate_limit,
                token.is_active, self._seal(metadata), self._encryptor is not None)

    # ------------------------------------------------------------ keys

    def _hash_key(self, api_key: str) -> str:
        """SHA-256 of the whole key's UTF-8 bytes, as 64 lowercase hexadecimal digits."""
        require(api_key, "api_key", str)
        return hashlib.sha256(api_key.encode("utf-8")).hexdigest()

    def _generate_key(self) -> str:
        return self.TOKEN_PREFIX + secrets.token_urlsafe(32)

    def _generate_token_id(self) -> str:
        return "tok_" + secrets.token_hex(8)

    # ------------------------------------------------------------ operations

    def create_token(
        self,
        name: str,
        permissions: Optional[List[str]] = None,
        expires_days: Optional[int] = None,
        rate_limit: int = 0,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Tuple[str, Token]:
        """Issue a new API key; return it (shown this once) and a snapshot of its token.

        One INSERT in a synchronously committed transaction: once this
        returns, the key survives a server crash. Unlike a dict entry, a row
        of the same token id (one chance in 2**64) is never replaced: the
        driver's UniqueViolation is raised instead.
        """
        if expires_days is not None:
            expires_days = to_int(expires_days, "expires_days")
        rate_limit = to_int(rate_limit, "rate_limit")
        require(name, "name", str)
        require(permissions, "permissions", list, optional=True)
        require(metadata, "metadata", dict, optional=True)
        permissions_text = _json_text(permissions, "permissions") if permissions else '["read", "write"]'
        metadata_text = _json_text(metadata, "metadata") if metadata else "{}"

        api_key = self._generate_key()
        token_id = self._generate_token_id()
        expires_at = None
        if expires_days:
            expires_at = (datetime.datetime.now() + datetime.timedelta(days=expires_days)).isoformat()
        token = Token(token_id=token_id, name=name, hashed_key=self._hash_key(api_key),
                      created_at=datetime.datetime.now().isoformat(), expires_at=expires_at,
                      permissions=json.loads(permissions_text), rate_limit=rate_limit,
                      metadata=json.loads(metadata_text))
        with self._durable() as conn:
            conn.execute(self._sql.insert, self._row(token, permissions_text, metadata_text))
        return api_key, token

    def validate_token(self, api_key: str) -> Optional[Token]:
        """The token of `api_key` if it is active, unexpired and within its rate limit, else ``None``.

        One statement, one round trip: an UPDATE of the row found by the
        key's hash that checks the state, the expiry (against this process's
        naive local time, as `Token.is_expired`) and the request window, and
        records the request and ``last_used``. Concurrent validations of one
        key wait for each other's row lock, so no more than `rate_limit`
        succeed within 60 seconds. A refused key changes nothing. Committed
        asynchronously (see the class documentation). A database that cannot
        be reached raises the driver's error.
        """
        require(api_key, "api_key", str)
        prefix = self.TOKEN_PREFIX
        if not api_key or not api_key.startswith(prefix):
            return None
        try:
            hashed = self._hash_key(api_key)
        except UnicodeEncodeError:
            return None  # no issued key holds a lone surrogate
        now = datetime.datetime.now()
        pool, conn = self._checkout()  # not `_connection`: this is the path every request takes
        try:
            row = conn.execute(self._sql.validate, {"now": now.isoformat(), "key": hashed}).fetchone()
        finally:
            pool.putconn(conn)
        return None if row is None else self._token(row)

    def revoke_token(self, token_id: str) -> bool:
        """Deactivate the token for good; ``False`` if there is no such token. Committed synchronously."""
        require(token_id, "token_id", str)
        with self._durable() as conn:
            return conn.execute(self._sql.revoke, (token_id,)).rowcount > 0

    def delete_token(self, token_id: str) -> bool:
        """Remove the token; ``False`` if there is no such token. Committed synchronously."""
        require(token_id, "token_id", str)
        with self._durable() as conn:
            return conn.execute(self._sql.delete, (token_id,)).rowcount > 0

    def list_tokens(self, include_inactive: bool = False) -> List[Token]:
        """Snapshots of the tokens in creation (or import) order; revoked ones only if asked."""
        statement = self._sql.list_all if include_inactive else self._sql.list_active
        with self._connection() as conn:
            rows = conn.execute(statement).fetchall()
        return [self._token(row) for row in rows]

    def get_token(self, token_id: str) -> Optional[Token]:
        """A snapshot of the token, or ``None``."""
        require(token_id, "token_id", str)
        with self._connection() as conn:
            row = conn.execute(self._sql.get, (token_id,)).fetchone()
        return None if row is None else self._token(row)

    def update_token(
        self,
        token_id: str,
        name: Optional[str] = None,
        permissions: Optional[List[str]] = None,
        rate_limit: Optional[int] = None,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Optional[Token]:
        """Change what is given (metadata is merged into the stored dict); a snapshot, or ``None``.

        The row is locked, read, changed and written in one synchronously
        committed transaction, so concurrent updates of one token never lose
        each other's metadata keys.
        """
        if rate_limit is not None:
            rate_limit = to_int(rate_limit, "rate_limit")
        require(token_id, "token_id", str)
        require(name, "name", str, optional=True)
        require(permissions, "permissions", list, optional=True)
        require(metadata, "metadata", dict, optional=True)
        permissions_text = None if permissions is None else _json_text(permissions, "permissions")
        if metadata is not None:
            _json_text(metadata, "metadata")
        with self._durable() as conn:
            row = conn.execute(self._sql.lock, (token_id,)).fetchone()
            if row is None:
                return None
            token = self._token(row)
            if name is not None:
                token.name = name
            if permissions_text is not None:
                token.permissions = json.loads(permissions_text)
            if rate_limit is not None:
                token.rate_limit = rate_limit
            if metadata is not None:
                token.metadata.update(json.loads(json.dumps(metadata, ensure_ascii=False)))
            metadata_text = json.dumps(token.metadata, ensure_ascii=False)
            conn.execute(self._sql.rewrite, (
                self._seal(token.name), self._seal(json.dumps(token.permissions, ensure_ascii=False)),
                token.rate_limit, self._seal(metadata_text), self._encryptor is not None, token_id))
        return token

    def regenerate_key(self, token_id: str) -> Optional[str]:
        """Give the token a new key (the old one stops validating); ``None`` if there is no such token.

        Only the hash changes: a revoked token stays revoked. Committed synchronously.
        """
        require(token_id, "token_id", str)
        new_key = self._generate_key()
        with self._durable() as conn:
            found = conn.execute(self._sql.rekey, (self._hash_key(new_key), token_id)).rowcount > 0
        return new_key if found else None

    def rotate_encryption(self, batch_size: int = 500) -> int:
        """Re-encrypt the encrypted columns under the first key; the number of rows rewritten.

        For a key rotation: construct the registry with ``"NEW,OLD"`` (any
        key decrypts, the first encrypts), call this once, then drop OLD.
        Each row's name, permissions and metadata are re-encrypted with
        `FileEncryptor.rotate` (their timestamps kept); rows stored plain are
        encrypted. Rows are taken in creation order, `batch_size` at a time,
        each batch locked and committed synchronously in one transaction, so
        concurrent changes are neither lost nor blocked for long, and an
        interrupted rotation leaves every row readable under the keys given.
        ``ValueError`` without an encryption key.
        """
        batch_size = to_int(batch_size, "batch_size")
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        encryptor = self._encryptor
        if encryptor is None:
            raise ValueError("rotate_encryption needs an encryption key")

        def rotated(text: str, encrypted: bool) -> str:
            return encryptor.rotate(text.encode("ascii")).decode("ascii") if encrypted else self._seal(text)

        done, after = 0, None
        while True:
            with self._durable() as conn:
                rows = conn.execute(self._sql.lock_batch, (after, after, batch_size)).fetchall()
                if not rows:
                    return done
                conn.cursor().executemany(self._sql.reseal, [
                    (rotated(name, encrypted), rotated(permissions, encrypted), rotated(metadata, encrypted), seq)
                    for seq, name, permissions, metadata, encrypted in rows])
            done += len(rows)
            after = rows[-1][0]

    # ------------------------------------------------------------ migration

    def import_tokens(self, tokens_file: str, encryption_key: Optional[str] = None) -> int:
        """Add the tokens of a `KeyRegistry` token file to the table, in file order; their number.

        `encryption_key` opens an encrypted file (a plain file needs none).
        Tokens whose id is already in the table replace that row in place.
        Everything is checked before one synchronously committed transaction
        writes all of it, so a bad file changes nothing: ``ValueError`` for
        content `KeyRegistry` could not have written (a member name that is
        not its token's id, a value of the wrong JSON type, an expiry that is
        not ISO 8601 text), the loader's own errors otherwise.
        """
        require(tokens_file, "tokens_file", str)
        require(encryption_key, "encryption_key", str, optional=True)
        raw = Path(validate_file_path(tokens_file)).read_bytes()
        if FileEncryptor.is_encrypted(raw):
            if not encryption_key:
                raise ValueError(f"{tokens_file} is encrypted: an encryption key is needed to read it")
            content = FileEncryptor(key=encryption_key).decrypt_text(raw)
        else:
            content = raw.decode("utf-8")
        data = json.loads(content)
        if type(data) is not dict:
            raise ValueError(f"{tokens_file} does not hold a JSON object of tokens")
        rows = [self._row(*_importable(member, value)) for member, value in data.items()]
        with self._durable() as conn:
            conn.cursor().executemany(self._sql.upsert, rows)
        return len(rows)

    def export_tokens(self, tokens_file: str, encryption_key: Optional[str] = None) -> int:
        """Write every token to a file that `KeyRegistry` opens; the number of tokens.

        The bytes are those `KeyRegistry` writes for the same tokens in the
        same order (encrypted with `encryption_key` when one is given). The
        file is replaced atomically and is readable by its owner only.
        """
        require(tokens_file, "tokens_file", str)
        require(encryption_key, "encryption_key", str, optional=True)
        path = Path(validate_file_path(tokens_file))
        tokens = self.list_tokens(include_inactive=True)
        text = json.dumps({t.token_id: t.to_dict() for t in tokens}, indent=2, ensure_ascii=False)
        content = FileEncryptor(key=encryption_key).encrypt_text(text) if encryption_key else text.encode("utf-8")
        _replace_token_file(path, content)
        return len(tokens)


def _importable(member: str, value: Any) -> Tuple[Token, str, str]:
    """The token of one member of a token file, with its JSON texts; ``ValueError`` if it cannot be a row."""
    token = Token.from_dict(value)
    expected = (("token_id", str), ("name", str), ("hashed_key", str), ("created_at", str),
                ("expires_at", (str, type(None))), ("last_used", (str, type(None))), ("rate_limit", int),
                ("is_active", bool))
    for field, kinds in expected:
        kinds = kinds if isinstance(kinds, tuple) else (kinds,)
        if type(getattr(token, field)) not in kinds:
            raise ValueError(f"Token {member!r} cannot be imported: {field} is {getattr(token, field)!r}")
    if token.token_id != member:
        raise ValueError(f"Token {member!r} cannot be imported: its token_id is {token.token_id!r}")
    _local_expiry(token.expires_at)  # the parser's ValueError for text that is not ISO 8601
    return token, json.dumps(token.permissions, ensure_ascii=False), json.dumps(token.metadata, ensure_ascii=False)


class _Statements:
    """The SQL of one table; the name was checked, everything else is a parameter."""

    def __init__(self, t: str) -> None:
        self.table = t
        self.insert = (
            f"INSERT INTO {t} (token_id, name, hashed_key, created_at, expires_at, expires_local, last_used, "
            "permissions, rate_limit, is_active, metadata, encrypted) "
            "VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s)"
        )
        # An imported token replaces the row of the same id in place, as a
        # dict assignment keeps the key's position.
        self.upsert = self.insert + (
            " ON CONFLICT (token_id) DO UPDATE SET name = EXCLUDED.name, hashed_key = EXCLUDED.hashed_key, "
            "created_at = EXCLUDED.created_at, expires_at = EXCLUDED.expires_at, "
            "expires_local = EXCLUDED.expires_local, last_used = EXCLUDED.last_used, "
            "permissions = EXCLUDED.permissions, rate_limit = EXCLUDED.rate_limit, "
            "is_active = EXCLUDED.is_active, metadata = EXCLUDED.metadata, encrypted = EXCLUDED.encrypted, "
            "recent_uses = '{}'"
        )
        # The window is the server times of the token's last `rate_limit`
        # successful validations, oldest first. Fewer than `rate_limit`
        # successes lie within the last 60 seconds exactly when there are
        # fewer entries than that or the `rate_limit`-th latest is at least 60
        # seconds old; so no more need keeping, and the check reads one
        # element. CASE fixes the order of evaluation: the subscript is
        # computed only where `rate_limit` is at most the window's length.
        # A validation that waited for the row lock may have started before
        # the latest entry: its time is taken as that entry's, keeping the
        # order.
        n = "cardinality(recent_uses)"
        self.validate = (
            f"UPDATE {t} SET last_used = %(now)s::text, recent_uses = CASE WHEN rate_limit <= 0 THEN '{{}}' "
            f"ELSE recent_uses[greatest({n} - rate_limit + 2, 1)::int:] || greatest(now(), recent_uses[{n}]) END "
            "WHERE hashed_key = %(key)s AND is_active AND (expires_local IS NULL OR expires_local >= %(now)s::text::timestamp) "
            f"AND CASE WHEN rate_limit <= 0 OR {n} < rate_limit THEN true "
            f"ELSE recent_uses[{n} - rate_limit::int + 1] <= now() - interval '60 seconds' END "
            f"RETURNING {_COLUMNS}"
        )
        self.revoke = f"UPDATE {t} SET is_active = false WHERE token_id = %s"
        self.delete = f"DELETE FROM {t} WHERE token_id = %s"
        self.rekey = f"UPDATE {t} SET hashed_key = %s WHERE token_id = %s"
        self.get = f"SELECT {_COLUMNS} FROM {t} WHERE token_id = %s"
        self.lock = f"SELECT {_COLUMNS} FROM {t} WHERE token_id = %s FOR UPDATE"
        self.rewrite = (f"UPDATE {t} SET name = %s, permissions = %s, rate_limit = %s, metadata = %s, "
                        "encrypted = %s WHERE token_id = %s")
        self.lock_batch = (f"SELECT seq, name, permissions, metadata, encrypted FROM {t} "
                           "WHERE %s::bigint IS NULL OR seq > %s ORDER BY seq LIMIT %s FOR UPDATE")
        self.reseal = f"UPDATE {t} SET name = %s, permissions = %s, metadata = %s, encrypted = true WHERE seq = %s"
        self.list_all = f"SELECT {_COLUMNS} FROM {t} ORDER BY seq"
        self.list_active = f"SELECT {_COLUMNS} FROM {t} WHERE is_active ORDER BY seq"

    def create_schema(self, conn: psycopg.Connection) -> None:
        t = self.table
        # Concurrent first constructions would race in CREATE TABLE IF NOT EXISTS.
        conn.execute("SELECT pg_advisory_lock(hashtext(%s))", (f"vesperkit.tokens.{t}",))
        try:
            conn.execute(
                f"CREATE TABLE IF NOT EXISTS {t} (\n"
                "    token_id text PRIMARY KEY,\n"
                "    seq bigint GENERATED ALWAYS AS IDENTITY,\n"
                "    name text NOT NULL,\n"
                "    hashed_key text NOT NULL,\n"
                "    created_at text NOT NULL,\n"
                "    expires_at text,\n"
                "    expires_local timestamp,\n"
                "    last_used text,\n"
                "    permissions text NOT NULL,\n"
                "    rate_limit numeric NOT NULL,\n"
                "    is_active boolean NOT NULL,\n"
                "    metadata text NOT NULL,\n"
                "    encrypted boolean NOT NULL,\n"
                "    recent_uses timestamptz[] NOT NULL DEFAULT '{}'\n"
                ")"
            )
            # Outside a transaction and concurrently: never blocks the writers of a live table.
            conn.execute(f"CREATE UNIQUE INDEX CONCURRENTLY IF NOT EXISTS {t}_hashed_key ON {t} (hashed_key)")
            conn.execute(f"CREATE INDEX CONCURRENTLY IF NOT EXISTS {t}_seq ON {t} (seq)")
        finally:
            conn.execute("SELECT pg_advisory_unlock(hashtext(%s))", (f"vesperkit.tokens.{t}",))
