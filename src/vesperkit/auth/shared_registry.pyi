from typing import ClassVar, Optional

from .key_registry import KeyRegistry

__all__ = ["SharedKeyRegistry"]

# The operations keep the signatures of KeyRegistry.
class SharedKeyRegistry(KeyRegistry):
    LOCK_TIMEOUT: ClassVar[float]
    def __init__(self, tokens_file: str = "vesperkit_tokens.json", encryption_key: Optional[str] = None) -> None: ...
    def __del__(self) -> None: ...
