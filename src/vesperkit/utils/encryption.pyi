import base64 as base64
import logging
import os as os
from typing import Final, Optional

logger: logging.Logger

# From cryptography.fernet; None and the built-in Exception when the package is missing.
Fernet: type | None
InvalidToken: type[Exception]
ENCRYPTION_AVAILABLE: Final[bool]
MAGIC_HEADER: Final[bytes]

class FileEncryptor:
    _fernet: object
    def __init__(self, key: Optional[str] = None) -> None: ...
    def encrypt(self, data: bytes) -> bytes: ...
    def decrypt(self, token: bytes) -> bytes: ...
    def encrypt_text(self, text: str) -> bytes: ...
    def decrypt_text(self, data: bytes) -> str: ...
    @staticmethod
    def generate_key() -> str: ...
    @staticmethod
    def is_encrypted(data: bytes) -> bool: ...
