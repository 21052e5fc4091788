"""FileEncryptor.encrypt_text / decrypt_text against cryptography's Fernet called directly.

The wrapper adds the UTF-8 encoding, the magic line and one copy; the peer is
`Fernet.encrypt(data)` / `Fernet.decrypt(token)` on the same bytes in the same run.

Run: .venv/bin/python benchmarks/bench_encryption.py [--quick]
"""

from __future__ import annotations

import random
import string
import sys
import time

from cryptography.fernet import Fernet

from vesperkit.utils.encryption import FileEncryptor


def best_of(fn, arg, number: int, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn(arg)
        best = min(best, (time.perf_counter() - start) / number)
    return best


def main() -> None:
    quick = "--quick" in sys.argv
    key = Fernet.generate_key()
    fernet = Fernet(key)
    enc = FileEncryptor(key.decode())
    rng = random.Random(42)
    sizes = [64 * 1024, 1 << 20] if quick else [64 * 1024, 1 << 20, 4 << 20]
    repeat = 5 if quick else 9
    print(f"{'size':>7} {'op':>8} {'wrapper ms':>11} {'Fernet ms':>10} {'ratio':>7}")
    for size in sizes:
        text = "".join(rng.choices(string.ascii_letters + string.digits + " \n{}\":,", k=size))
        data = text.encode("utf-8")
        wrapped = enc.encrypt_text(text)
        token = fernet.encrypt(data)
        assert enc.decrypt_text(wrapped) == text
        number = max(3, (8 << 20) // size)
        rows = []
        # Interleave wrapper and peer so that both see the same machine state.
        t_enc = min(best_of(enc.encrypt_text, text, number, 1) for _ in range(repeat))
        t_fenc = min(best_of(fernet.encrypt, data, number, 1) for _ in range(repeat))
        t_dec = min(best_of(enc.decrypt_text, wrapped, number, 1) for _ in range(repeat))
        t_fdec = min(best_of(fernet.decrypt, token, number, 1) for _ in range(repeat))
        rows.append(("encrypt", t_enc, t_fenc))
        rows.append(("decrypt", t_dec, t_fdec))
        label = f"{size // 1024}K" if size < (1 << 20) else f"{size >> 20}M"
        for op, mine, peer in rows:
            print(f"{label:>7} {op:>8} {mine * 1e3:>11.3f} {peer * 1e3:>10.3f} {mine / peer:>6.3f}x")


if __name__ == "__main__":
    main()
