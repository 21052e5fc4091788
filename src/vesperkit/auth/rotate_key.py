"""Re-encrypt a token file under a new encryption key, at once.

Run it with the keys in the environment, the new key first::

    VESPERKIT_ENCRYPTION_KEY="NEW,OLD" python -m vesperkit.auth.rotate_key vesperkit_tokens.json

The token in the file is decrypted under whichever of the keys made it and
encrypted again under the first one, keeping its original timestamp
(`FileEncryptor.rotate`). The plaintext is not touched. The file is replaced
the way every save replaces it (a new file in the same directory, synced,
renamed over it, mode 0o600), under the same ``<tokens_file>.lock`` lock that
`SharedKeyRegistry` takes, so workers writing at the same moment lose
nothing. The keys are read from the environment only, never from the command
line, where other users could see them.
"""

import argparse
import sys
from pathlib import Path
from typing import List, Optional

from ..utils.encryption import FileEncryptor, InvalidToken
from ..utils.text import validate_file_path
from ._checks import require
from .key_registry import _replace_token_file
from .shared_registry import SharedKeyRegistry, _close_lock, _lock_file

__all__ = ["rotate_token_file", "main"]

def rotate_token_file(tokens_file: str = "vesperkit_tokens.json", encryption_key: Optional[str] = None) -> None:
    """Re-encrypt the token file under the first key of `encryption_key`.

    `encryption_key` is a key text as `FileEncryptor` takes it (``"NEW,OLD"``);
    None or empty reads it from ``VESPERKIT_ENCRYPTION_KEY``. The file must be
    in the encrypted form and made under one of the keys; otherwise it is left
    as it was and `ValueError` ("Not an encrypted token file") or
    `InvalidToken` is raised. The lock is waited for up to
    `SharedKeyRegistry.LOCK_TIMEOUT` seconds (then `TimeoutError`).
    """
    require(tokens_file, "tokens_file", str)
    require(encryption_key, "encryption_key", str, optional=True)
    # The path as the registries resolve it, so that the lock is theirs.
    path = Path(validate_file_path(tokens_file))
    encryptor = FileEncryptor(key=encryption_key)
    fd = _lock_file(path, SharedKeyRegistry.LOCK_TIMEOUT)
    try:
        raw = path.read_bytes()
        if not FileEncryptor.is_encrypted(raw):
            raise ValueError("Not an encrypted token file")
        _replace_token_file(path, encryptor.rotate(raw))
    finally:
        _close_lock(fd)


def main(argv: Optional[List[str]] = None) -> int:
    """The command: rotate each token file named; 0 when all were, 1 otherwise."""
    parser = argparse.ArgumentParser(
        prog="python -m vesperkit.auth.rotate_key",
        description="Re-encrypt token files under the first key of $VESPERKIT_ENCRYPTION_KEY "
        '("NEW,OLD"), keeping their content and timestamps.',
    )
    parser.add_argument("tokens_file", nargs="+", help="token file to re-encrypt")
    args = parser.parse_args(argv)
    status = 0
    for tokens_file in args.tokens_file:
        try:
            rotate_token_file(tokens_file)
        except (OSError, ValueError, ImportError) as exc:
            print(f"{tokens_file}: {exc}", file=sys.stderr)
            status = 1
        except InvalidToken:
            # Its message is empty; none of the errors here quotes a key.
            print(f"{tokens_file}: not made under any of the keys given", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
