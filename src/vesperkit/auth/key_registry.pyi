import datetime as datetime
import hashlib as hashlib
import json as json
import logging
import os as os
import secrets as secrets
import time as time
from dataclasses import asdict as asdict, dataclass as dataclass, field as field
from pathlib import Path
from typing import Any, ClassVar, Dict, List, Optional, Tuple

from ..utils.encryption import FileEncryptor as FileEncryptor
from ..utils.text import validate_file_path as validate_file_path

logger: logging.Logger

@dataclass
class Token:
    token_id: str
    name: str
    hashed_key: str
    created_at: str
    expires_at: Optional[str] = None
    last_used: Optional[str] = None
    permissions: List[str] = field(default_factory=lambda: ["read", "write"])
    rate_limit: int = 0
    is_active: bool = True
    metadata: Dict[Any, Any] = field(default_factory=dict)
    _request_timestamps: List[float] = field(default_factory=list, repr=False)
    def is_expired(self) -> bool: ...
    def has_permission(self, permission: str) -> bool: ...
    def is_rate_limited(self) -> bool: ...
    def record_request(self) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> Token: ...

class KeyRegistry:
    TOKEN_PREFIX: ClassVar[str]
    tokens_file: Path
    tokens: Dict[str, Token]
    _encryptor: Optional[FileEncryptor]
    def __init__(self, tokens_file: str = "vesperkit_tokens.json", encryption_key: Optional[str] = None) -> None: ...
    def _load_tokens(self) -> None: ...
    def _save_tokens(self) -> None: ...
    def _hash_key(self, api_key: str) -> str: ...
    def _generate_key(self) -> str: ...
    def _generate_token_id(self) -> str: ...
    def create_token(
        self,
        name: str,
        permissions: Optional[List[str]] = None,
        expires_days: Optional[int] = None,
        rate_limit: int = 0,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Tuple[str, Token]: ...
    def validate_token(self, api_key: str) -> Optional[Token]: ...
    def revoke_token(self, token_id: str) -> bool: ...
    def delete_token(self, token_id: str) -> bool: ...
    def list_tokens(self, include_inactive: bool = False) -> List[Token]: ...
    def get_token(self, token_id: str) -> Optional[Token]: ...
    def update_token(
        self,
        token_id: str,
        name: Optional[str] = None,
        permissions: Optional[List[str]] = None,
        rate_limit: Optional[int] = None,
        metadata: Optional[Dict[Any, Any]] = None,
    ) -> Optional[Token]: ...
    def regenerate_key(self, token_id: str) -> Optional[str]: ...

def _replace_token_file(tokens_file: str | bytes | os.PathLike[str] | os.PathLike[bytes], data: bytes) -> None: ...
