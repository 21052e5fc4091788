"""validate_token: native registry vs. a straightforward Python one.

Every successful validation rewrites the whole token file, so the cost is the
scan plus rendering (and, with a key, encrypting) and writing the file. The peer
is the same operation written plainly in Python: a dataclass Token, `asdict`,
`json.dumps(indent=2, ensure_ascii=False)`, Fernet for an encrypted file, and a
write, in the same run on the same data.

Run: .venv/bin/python benchmarks/bench_key_registry.py [--quick]
"""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import random
import resource
import secrets
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional

from vesperkit.auth.key_registry import KeyRegistry, Token
from vesperkit.utils.encryption import MAGIC_HEADER, FileEncryptor


@dataclass
class PyToken:
    token_id: str
    name: str
    hashed_key: str
    created_at: str
    expires_at: Optional[str] = None
    last_used: Optional[str] = None
    permissions: List[str] = field(default_factory=lambda: ["read", "write"])
    rate_limit: int = 0
    is_active: bool = True
    metadata: Dict = field(default_factory=dict)
    _request_timestamps: List[float] = field(default_factory=list, repr=False)

    def is_expired(self) -> bool:
        if self.expires_at is None:
            return False
        return datetime.datetime.now() > datetime.datetime.fromisoformat(self.expires_at)

    def is_rate_limited(self) -> bool:
        if self.rate_limit <= 0:
            return False
        now = time.monotonic()
        self._request_timestamps = [t for t in self._request_timestamps if now - t < 60.0]
        return len(self._request_timestamps) >= self.rate_limit

    def record_request(self) -> None:
        self._request_timestamps.append(time.monotonic())

    def to_dict(self) -> Dict:
        d = asdict(self)
        d.pop("_request_timestamps", None)
        return d


class PyRegistry:
    TOKEN_PREFIX = "vsk_"

    def __init__(self, path: str, tokens: Dict[str, PyToken], key: Optional[str] = None):
        self.tokens_file = path
        self.tokens = tokens
        self._fernet = None
        if key:
            from cryptography.fernet import Fernet

            self._fernet = Fernet(key.encode())

    def _save_tokens(self) -> None:
        data = {k: t.to_dict() for k, t in self.tokens.items()}
        content = json.dumps(data, indent=2, ensure_ascii=False)
        if self._fernet is not None:
            with open(self.tokens_file, "wb") as f:
                f.write(MAGIC_HEADER + self._fernet.encrypt(content.encode("utf-8")))
        else:
            with open(self.tokens_file, "w", encoding="utf-8") as f:
                f.write(content)
        os.chmod(self.tokens_file, 0o600)

    def validate_token(self, api_key: str) -> Optional[PyToken]:
        if not api_key or not api_key.startswith(self.TOKEN_PREFIX):
            return None
        hashed = hashlib.sha256(api_key.encode("utf-8")).hexdigest()
        for token in self.tokens.values():
            if token.hashed_key == hashed:
                if not token.is_active or token.is_expired() or token.is_rate_limited():
                    return None
                token.record_request()
                token.last_used = datetime.datetime.now().isoformat()
                self._save_tokens()
                return token
        return None


def build(directory: str, n: int, seed: int, key: Optional[str] = None):
    """A native registry with n tokens (realistic metadata) and the same tokens for the peer."""
    rng = random.Random(seed)
    name = f"{n}-{'enc' if key else 'plain'}.json"
    native = KeyRegistry(os.path.join(directory, f"native-{name}"), encryption_key=key)
    keys, tokens = [], {}
    now = datetime.datetime.now()
    for i in range(n):
        api_key = KeyRegistry.TOKEN_PREFIX + secrets.token_urlsafe(32)
        expires = rng.choice([None, 30, 365])
        token = Token(
            token_id=f"tok_{rng.getrandbits(64):016x}",
            name=f"service {i} — {rng.choice(['billing', 'search', 'ingest', 'Zoë'])}",
            hashed_key=hashlib.sha256(api_key.encode("utf-8")).hexdigest(),
            created_at=now.isoformat(),
            expires_at=None if expires is None else (now + datetime.timedelta(days=expires)).isoformat(),
            permissions=rng.choice([["read", "write"], ["read"], ["admin"], ["read", "write", "delete"]]),
            rate_limit=rng.choice([0, 0, 100, 1000]),
            metadata={"owner": f"team-{rng.randrange(50)}", "env": rng.choice(["prod", "staging"]),
                      "quota": rng.randrange(10**6), "ratio": rng.random(), "tags": ["a", "b"]},
        )
        tokens[token.token_id] = token
        keys.append(api_key)
    native.tokens = tokens
    native._save_tokens()
    peer = PyRegistry(os.path.join(directory, f"python-{name}"),
                      {k: PyToken(**t.to_dict()) for k, t in native.tokens.items()}, key)
    return native, peer, keys


def per_call(fns, keys, rounds: int) -> list[float]:
    """Best mean seconds per call of each of `fns` over `rounds` passes of `len(keys)` calls.

    The passes alternate between the functions, so that a change in the machine's load
    falls on both sides alike."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            for k in keys:
                fn(k)
            best[i] = min(best[i], (time.perf_counter() - start) / len(keys))
    return best


def compare(directory: str, n: int, key: Optional[str], rounds: int) -> tuple[float, float, float]:
    native, peer, keys = build(directory, n, seed=n, key=key)
    sample = random.Random(7).choices(keys, k=max(20, 20000 // n))
    # Same outcome on both sides.
    assert native.validate_token(sample[0]).token_id == peer.validate_token(sample[0]).token_id
    t_native, t_python = per_call([native.validate_token, peer.validate_token], sample, rounds)
    with open(native.tokens_file, "rb") as f:
        size_kb = len(f.read()) / 1024
    return t_native, t_python, size_kb


def main() -> None:
    quick = "--quick" in sys.argv
    rounds = 3 if quick else 5
    key = FileEncryptor.generate_key()
    # (tokens, encrypted, target speed-up or None, target ms or None)
    rows = [(100, False, None, None), (1000, False, 20, None), (10000, False, None, 3.0),
            (1000, True, 6, None)]
    if quick:
        rows = [r for r in rows if r[0] <= 1000]
    print(f"validate_token, python {sys.version.split()[0]}")
    print(f"{'tokens':>7} {'file':>9} {'native ms':>10} {'python ms':>10} {'speed-up':>9} {'file KB':>8}  target")
    with tempfile.TemporaryDirectory() as directory:
        for n, encrypted, want_ratio, want_ms in rows:
            t_native, t_python, size_kb = compare(directory, n, key if encrypted else None,
                                                  rounds if n < 10000 else 3)
            ratio = t_python / t_native
            if want_ratio is not None:
                target = f">= {want_ratio}x: {'met' if ratio >= want_ratio else 'MISSED'}"
            elif want_ms is not None:
                target = f"<= {want_ms} ms: {'met' if t_native * 1e3 <= want_ms else 'MISSED'}"
            else:
                target = ""
            kind = "encrypted" if encrypted else "plain"
            print(f"{n:>7} {kind:>9} {t_native * 1e3:>10.3f} {t_python * 1e3:>10.3f} {ratio:>8.1f}x "
                  f"{size_kb:>8.0f}  {target}")

        # Durable saves (create/revoke/...) flush to disk; shown for scale.
        native, _, _ = build(directory, 1000, seed=1)
        tid = next(iter(native.tokens))
        start = time.perf_counter()
        for _ in range(20):
            native.revoke_token(tid)
        print(f"revoke_token (flushed save), 1000 tokens: {(time.perf_counter() - start) / 20 * 1e3:.3f} ms")
    print(f"peak RSS: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB")


if __name__ == "__main__":
    main()
