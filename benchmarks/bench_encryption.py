"""FileEncryptor.encrypt_text / decrypt_text against cryptography's Fernet called directly.

Two peers, measured in the same run: Fernet alone on the bytes
(`Fernet.encrypt(data)`, `Fernet.decrypt(token)`), and Fernet with the text
conversion a caller needs anyway (`encrypt(text.encode())`,
`decrypt(token).decode()`). The wrapper adds the magic line to the latter.

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
    print(f"{'size':>7} {'op':>8} {'wrapper ms':>11} {'Fernet ms':>10} {'ratio':>7} {'Fernet+text ms':>15} {'ratio':>7}")
    for size in sizes:
        text = "".join(rng.choices(string.ascii_letters + string.digits + " \n{}\":,", k=size))
        data = text.encode("utf-8")
        wrapped = enc.encrypt_text(text)
        token = fernet.encrypt(data)
        assert enc.decrypt_text(wrapped) == text
        number = max(3, (8 << 20) // size)

        def measure(fn, arg):
            return best_of(fn, arg, number, 1)

        # Rounds alternate between wrapper and peers so that all see the same machine state.
        t = {name: float("inf") for name in ("enc", "fenc", "ftenc", "dec", "fdec", "ftdec")}
        for _ in range(repeat):
            t["enc"] = min(t["enc"], measure(enc.encrypt_text, text))
            t["fenc"] = min(t["fenc"], measure(fernet.encrypt, data))
            t["ftenc"] = min(t["ftenc"], measure(lambda s: fernet.encrypt(s.encode("utf-8")), text))
            t["dec"] = min(t["dec"], measure(enc.decrypt_text, wrapped))
            t["fdec"] = min(t["fdec"], measure(fernet.decrypt, token))
            t["ftdec"] = min(t["ftdec"], measure(lambda b: fernet.decrypt(b).decode("utf-8"), token))
        label = f"{size // 1024}K" if size < (1 << 20) else f"{size >> 20}M"
        for op, mine, bare, with_text in (("encrypt", t["enc"], t["fenc"], t["ftenc"]),
                                          ("decrypt", t["dec"], t["fdec"], t["ftdec"])):
            print(f"{label:>7} {op:>8} {mine * 1e3:>11.3f} {bare * 1e3:>10.3f} {mine / bare:>6.3f}x"
                  f" {with_text * 1e3:>15.3f} {mine / with_text:>6.3f}x")


if __name__ == "__main__":
    main()
