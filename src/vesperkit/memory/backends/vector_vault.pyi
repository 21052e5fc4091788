import contextlib as contextlib
import json as json
import os as os
import threading as threading
from contextlib import AbstractContextManager
from typing import Any, Iterable as Iterable, List as List, Optional as Optional, Set as Set

import psycopg as psycopg
from pgvector import Vector as Vector
from pgvector.psycopg import register_vector as register_vector

class PostgresVectorBackend:
    """StorageBackend backed by Postgres + pgvector."""

    _dsn: str
    _dim: int
    _table: str
    _ext_ensured: bool
    _connection: Optional[psycopg.Connection[Any]]
    _conn_pid: Optional[int]
    _conn_lock: threading.Lock

    def __init__(
        self, dsn: str, *, embedding_dim: int, table: str = "vsk_memories", reset: bool = False
    ) -> None: ...
    def _conn(self) -> AbstractContextManager[psycopg.Connection[Any]]: ...
    @staticmethod
    def _session_id(record: dict) -> Optional[str]: ...
    @staticmethod
    def _embedding_or_none(record: dict) -> Any: ...
    def add(self, record: dict) -> None: ...
    def add_batch(self, records: List[dict]) -> int: ...
    def get(self, memory_id: str) -> Optional[dict]: ...
    def update(self, memory_id: str, fields: dict) -> bool: ...
    def delete(self, memory_id: str) -> bool: ...
    def vector_search(
        self,
        query_embedding: List[float],
        *,
        top_k: int,
        threshold: float,
        tenant_id: Optional[str] = None,
        user_id: Optional[str] = None,
        session_id: Optional[str] = None,
        allowed_ids: Optional[Set[str]] = None,
    ) -> List[dict]: ...
    def hybrid_search(
        self,
        query_text: str,
        query_embedding: List[float],
        *,
        top_k: int,
        tenant_id: Optional[str] = None,
        user_id: Optional[str] = None,
        session_id: Optional[str] = None,
        allowed_ids: Optional[Set[str]] = None,
        text_search_config: str = "simple",
    ) -> List[dict]:
        """The top_k records best matching the query by words and by meaning, best first.

        Reciprocal rank fusion (constant 20) of the cosine ranking and a ranking of the
        summaries by the query's rarer words; items carry "score" (the fused score) and
        "method" ("hybrid"). Scopes and `allowed_ids` as for vector_search.
        """
    def create_text_index(self, text_search_config: str = "simple") -> None:
        """Create the summaries' full-text index for this configuration (concurrently, if missing)."""
    def all_records(
        self, *, tenant_id: Optional[str] = None, user_id: Optional[str] = None, session_id: Optional[str] = None
    ) -> Iterable[dict]: ...
    def stats(
        self, *, tenant_id: Optional[str] = None, user_id: Optional[str] = None, session_id: Optional[str] = None
    ) -> dict: ...
    def clear(
        self, tenant_id: Optional[str] = None, user_id: Optional[str] = None, session_id: Optional[str] = None
    ) -> None: ...
    def convert_storage_format(self, new_format: str, new_file: Optional[str] = None) -> None: ...
