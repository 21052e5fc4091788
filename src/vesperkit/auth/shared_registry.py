"""A key registry for several processes that share one token file.

`KeyRegistry` owns its file: it reads it once and then overwrites it with its
own state, so two registry objects on one file lose each other's changes.
`SharedKeyRegistry` keeps the file as the truth instead: each operation first
checks with one ``os.stat`` whether the file is still the version this object
last loaded or wrote, loads it again if not, and makes every change under an
exclusive lock on a lock file beside the token file.
"""

import errno
import fcntl
import os
import threading
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from . import key_registry as _registry_module
from .key_registry import KeyRegistry, Token

__all__ = ["SharedKeyRegistry"]

# A path component that is not a directory, or a loop of links, means that
# there is no token file, exactly as `Path.exists` answers.
_NO_FILE = frozenset({errno.ENOENT, errno.ENOTDIR, errno.ELOOP})


def _version_of(st: os.stat_result) -> Tuple[int, int, int, int]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


# Lock descriptors of this process, held or waited on. A child made by fork
# closes its copies: an inherited copy would keep the parent's lock held for
# as long as the child lives.
_lock_fds: Set[int] = set()


def _close_lock(fd: int) -> None:
    _lock_fds.discard(fd)
    os.close(fd)


def _close_inherited_locks() -> None:
    for fd in list(_lock_fds):
        try:
            os.close(fd)
        except OSError:
            pass
    _lock_fds.clear()


os.register_at_fork(after_in_child=_close_inherited_locks)


class _LockWait:
    """A blocking ``flock`` on a helper thread, so that waiting has a bound.

    Blocked in the kernel, the waiter is woken the moment the holder lets go;
    polling would mostly miss the short gaps between the holders' operations
    and could wait forever behind busy processes.
    """

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.guard = threading.Lock()
        self.finished = threading.Event()
        self.abandoned = False
        self.error: Optional[OSError] = None
        threading.Thread(target=self._run, name="vesperkit-lock-wait", daemon=True).start()

    def _run(self) -> None:
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX)
        except OSError as exc:
            self.error = exc
        with self.guard:
            if not self.abandoned:
                self.finished.set()
                return
        _close_lock(self.fd)  # given up on: let go at once

    def wait(self, timeout: float) -> bool:
        """True once locked; False past `timeout`, handing the descriptor to the thread."""
        self.finished.wait(timeout)
        with self.guard:
            if not self.finished.is_set():
                self.abandoned = True
                return False
        if self.error is not None:
            _close_lock(self.fd)
            raise self.error
        return True


def _lock_file(tokens_file: "os.PathLike[str]", timeout: float) -> int:
    """Take the exclusive lock on ``<tokens_file>.lock``; the descriptor returned holds it.

    Release it with `_close_lock`. Raises `TimeoutError` when the lock is
    not obtained within `timeout` seconds.
    """
    lock_path = os.fspath(tokens_file) + ".lock"
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
    _lock_fds.add(fd)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return fd
    except BlockingIOError:
        wait = _LockWait(fd)
    except BaseException:
        _close_lock(fd)
        raise
    timeout = float(timeout)
    if wait.wait(timeout):
        return fd
    # The waiting thread now owns the descriptor and lets go of it as soon
    # as it gets the lock.
    raise TimeoutError(errno.ETIMEDOUT, f"lock not obtained within {timeout:g} seconds", lock_path)


class _NotSaved(Exception):
    """Raised in place of a save that could not be made under the lock."""


class SharedKeyRegistry(KeyRegistry):
    """An API key registry whose token file is shared by several processes.

    Use it where several worker processes (an API server's workers, say)
    issue and check keys in one token file; `KeyRegistry` is the class for a
    single process. The constructor, the operations, their results and the
    file format are those of `KeyRegistry`: either class opens a file the
    other wrote.

    The file is the shared truth and ``tokens`` is this object's view of it.
    Before each operation one ``os.stat`` tells whether the file is still the
    version this object last loaded or wrote (device, inode, size and
    modification time in nanoseconds); when another process has replaced it,
    the object loads it again first, with the load rules and log messages of
    `KeyRegistry`. A load keeps the request windows of the tokens that are
    still in the file; a token another process deleted leaves the view. A
    `Token` a caller already holds keeps its values, but it stops being the
    live record once the view is loaded again, so change tokens through the
    operations.

    Every operation that can change a token (including `validate_token`,
    which records ``last_used``) runs under an exclusive ``flock`` on
    ``<tokens_file>.lock`` (created with mode 0o600 and left in place): it
    checks and reloads, applies the change, writes the file by atomic
    replacement as `KeyRegistry` does, records the new version and releases
    the lock. A process that dies holding the lock releases it with its file
    descriptors. Waiting for the lock ends after `LOCK_TIMEOUT` seconds; the
    operation then fails the way a failed save fails: "Error saving tokens:
    %s" is logged at ERROR through the key registry's logger and the file is
    left alone. `validate_token` still answers from the freshly checked view
    (only ``last_used`` stays unsaved); the other operations change nothing
    and return their not-found results (``False`` or ``None``), and
    `create_token`, which has none, raises the error instead of handing out a
    key that is stored nowhere.

    Rate limits are counted per process: the request windows are never
    written to the file, so with N processes a token may succeed up to N
    times its limit within one window.

    One object may be used from several threads; its operations take turns.
    """

    LOCK_TIMEOUT = 5.0

    def __init__(self, tokens_file: str = "vesperkit_tokens.json", encryption_key: Optional[str] = None) -> None:
        """Open the shared registry on `tokens_file`, as `KeyRegistry` does.

        The file is loaded once here and again whenever another process has
        replaced it; no lock is taken, since the file is always replaced
        whole.
        """
        self._version: Optional[Tuple[int, int, int, int]] = None
        # The file version last loaded or written is kept open, so that its
        # inode cannot be reused by a later file that would then look
        # unchanged.
        self._pin = -1
        self._mutex = threading.RLock()
        self._locked = False
        super().__init__(tokens_file, encryption_key)

    def __del__(self) -> None:
        pin = self.__dict__.get("_pin", -1)
        if pin >= 0:
            self._pin = -1
            try:
                os.close(pin)
            except (OSError, TypeError):  # TypeError: `os` already torn down at exit
                pass

    # ------------------------------------------------------------------ file

    def _load_tokens(self) -> None:
        """Load the token file as `KeyRegistry` does and remember its version.

        The request windows of tokens still in the file are carried over by
        token id; the loaded tokens are new objects.
        """
        previous = getattr(self, "tokens", None) or {}
        path = self.tokens_file
        try:
            pin = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            if exc.errno not in _NO_FILE:
                raise
            pin, version = -1, None
        else:
            # Taken before the content is read: a file replaced in between is
            # only loaded once more, never missed.
            try:
                version = _version_of(os.fstat(pin))
            except BaseException:
                os.close(pin)
                raise
        try:
            super()._load_tokens()
        except BaseException:
            if pin >= 0:
                os.close(pin)
            raise
        if previous:
            tokens = self.tokens
            for token_id, old in previous.items():
                window = getattr(old, "_request_timestamps", None)
                if window:
                    token = tokens.get(token_id)
                    if token is not None:
                        token._request_timestamps = list(window)
        self._set_version(pin, version)

    def _set_version(self, pin: int, version: Optional[Tuple[int, int, int, int]]) -> None:
        old, self._pin, self._version = self._pin, pin, version
        if old >= 0:
            os.close(old)

    def _current_version(self) -> Optional[Tuple[int, int, int, int]]:
        try:
            return _version_of(os.stat(self.tokens_file))
        except OSError:
            return None  # gone, or unreadable: a load tells which

    def _refresh(self) -> None:
        if self._current_version() != self._version:
            self._load_tokens()

    def _record_version(self) -> None:
        """Remember the file as this object's version after a locked change."""
        if self._current_version() == self._version:
            return
        try:
            pin = os.open(self.tokens_file, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            self._set_version(-1, None)  # the next operation loads whatever is there
            return
        try:
            version = _version_of(os.fstat(pin))
        except BaseException:
            os.close(pin)
            raise
        self._set_version(pin, version)

    # ------------------------------------------------------------------ lock

    def _lock(self) -> int:
        """Open the lock file and take the lock on it; the descriptor holds it."""
        return _lock_file(self.tokens_file, self.LOCK_TIMEOUT)

    def _change(self, operation: Callable[..., Any], *args: Any, validating: bool = False) -> Any:
        with self._mutex:
            if self._locked:  # called from within an operation that holds the lock
                return operation(*args)
            try:
                fd = self._lock()
            except OSError as exc:
                return self._change_unlocked(operation, args, exc, validating)
            self._locked = True
            synced = False
            try:
                self._refresh()
                synced = True
                return operation(*args)
            finally:
                self._locked = False
                try:
                    if synced:
                        self._record_version()
                finally:
                    _close_lock(fd)  # releases the lock

    def _change_unlocked(
        self, operation: Callable[..., Any], args: Tuple[Any, ...], error: OSError, validating: bool
    ) -> Any:
        """Run `operation` when the lock could not be had, writing nothing."""
        _registry_module.logger.error("Error saving tokens: %s", error)
        # Reading needs no lock: the file is only ever replaced whole.
        self._refresh()
        tokens = self.tokens

        def refuse_save() -> None:
            if not validating:
                raise _NotSaved

        self._save_tokens = refuse_save
        if not validating:
            # Against an empty view the operation checks its arguments and
            # gives its not-found result, changing nothing.
            self.tokens = {}
        self._locked = True
        try:
            return operation(*args)
        except _NotSaved:
            raise error from None
        finally:
            self._locked = False
            self.tokens = tokens
            del self._save_tokens

    def _read(self, operation: Callable[..., Any], *args: Any) -> Any:
        with self._mutex:
            if not self._locked:
                self._refresh()
            return operation(*args)

    # ------------------------------------------------------------ operations

    def create_token(
        self,
        name: str,
        permissions: Optional[List[str]] = None,
        expires_days: Optional[int] = None,
        rate_limit: int = 0,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Tuple[str, Token]:
        """Issue a new API key as `KeyRegistry.create_token` does, under the lock.

        Raises the lock's `TimeoutError` (or the error opening the lock file)
        when the lock cannot be had, after logging it.
        """
        return self._change(super().create_token, name, permissions, expires_days, rate_limit, metadata)

    def validate_token(self, api_key: str) -> Optional[Token]:
        """Check `api_key` against the current file, as `KeyRegistry.validate_token` does.

        A key revoked or deleted by another process is refused. The
        ``last_used`` stamp is saved under the lock; the rate limit is
        counted in this process only.
        """
        return self._change(super().validate_token, api_key, validating=True)

    def revoke_token(self, token_id: str) -> bool:
        """Revoke the token in the shared file; ``False`` if it is not there."""
        return self._change(super().revoke_token, token_id)

    def delete_token(self, token_id: str) -> bool:
        """Delete the token from the shared file; ``False`` if it is not there."""
        return self._change(super().delete_token, token_id)

    def list_tokens(self, include_inactive: bool = False) -> List[Token]:
        """The tokens of the current file, as `KeyRegistry.list_tokens` lists them."""
        return self._read(super().list_tokens, include_inactive)

    def get_token(self, token_id: str) -> Optional[Token]:
        """The token of the current file under `token_id`, or ``None``."""
        return self._read(super().get_token, token_id)

    def update_token(
        self,
        token_id: str,
        name: Optional[str] = None,
        permissions: Optional[List[str]] = None,
        rate_limit: Optional[int] = None,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Optional[Token]:
        """Update the token in the shared file as `KeyRegistry.update_token` does."""
        return self._change(super().update_token, token_id, name, permissions, rate_limit, metadata)

    def regenerate_key(self, token_id: str) -> Optional[str]:
        """Give the token a new key in the shared file; ``None`` if it is not there."""
        return self._change(super().regenerate_key, token_id)
