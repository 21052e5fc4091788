"""Uses every public name of the four modules and the host helpers.

Checked with ``mypy --strict`` by tests/test_typing.py; never imported by the tests.
"""

from __future__ import annotations

from typing import Any

from vesperkit.auth.key_registry import KeyRegistry, Token
from vesperkit.auth.postgres_registry import PostgresKeyRegistry
from vesperkit.auth.shared_registry import SharedKeyRegistry
from vesperkit.graph.concept_mesh import ConceptMesh, GraphEdge, GraphNode
from vesperkit.memory.backends.vector_vault import PostgresVectorBackend
from vesperkit.utils.embeddings import cosine_similarity
from vesperkit.utils.encryption import ENCRYPTION_AVAILABLE, MAGIC_HEADER, FileEncryptor, InvalidToken
from vesperkit.utils.text import normalize_items, validate_file_path


def mesh_usage(memories: list[dict[str, Any]]) -> list[str]:
    mesh = ConceptMesh(similarity_threshold=0.8, tag_weight=1.0)
    nodes: list[GraphNode] = mesh.add_conversations(memories)
    first: GraphNode = mesh.add_conversation(memories[0])
    mesh.calculate_densities()
    mesh.calculate_densities_for({first.session_id})
    mesh.calculate_centralities()
    mesh.calculate_centralities_for(set(mesh.nodes))
    top: list[tuple[str, float]] = mesh.get_top_density_nodes(5) + mesh.get_top_centrality_nodes(limit=5)
    stats = mesh.get_stats()
    total: int = stats["total_nodes"] + stats["total_edges"]
    view = mesh.to_dict(max_nodes=50, max_edges_per_node=4, summary_chars=120)
    truncated: bool = view["truncated"]
    edge: GraphEdge | None = mesh.edges.get((first.session_id, nodes[-1].session_id))
    weight = edge.weight if edge is not None else 0.0
    path: list[str] = mesh.shortest_path(first.session_id, nodes[-1].session_id)
    mesh.clear()
    return [str(total), str(truncated), str(weight), str(len(top)), *path]


def vault_usage(dsn: str, memory: dict[str, Any]) -> int:
    vault = PostgresVectorBackend(dsn, embedding_dim=16, table="memories", reset=False)
    vault.add(memory)
    stored: int = vault.add_batch([memory])
    record: dict[str, Any] | None = vault.get(memory["id"])
    changed: bool = vault.update(memory["id"], {"pinned": True})
    hits = vault.vector_search([0.1] * 16, top_k=5, threshold=0.5, tenant_id="t1",
                               user_id=None, session_id=None, allowed_ids=None)
    scores = [float(hit["score"]) for hit in hits]
    listed = list(vault.all_records(tenant_id="t1"))
    count: int = vault.stats(user_id="u1")["count"]
    vault.clear("t1")
    removed: bool = vault.delete(memory["id"])
    try:
        vault.convert_storage_format("json")
    except NotImplementedError:
        pass
    return stored + count + len(scores) + len(listed) + int(changed) + int(removed) + int(record is None)


def registry_usage(path: str, key: str | None) -> str | None:
    registry = KeyRegistry(path, encryption_key=key)
    api_key, token = registry.create_token("svc", permissions=["read"], expires_days=30,
                                           rate_limit=10, metadata={"team": "core"})
    valid: Token | None = registry.validate_token(api_key)
    allowed: bool = token.has_permission("read") and not token.is_expired()
    limited: bool = token.is_rate_limited()
    token.record_request()
    copy = Token.from_dict(token.to_dict())
    registry.update_token(token.token_id, name="renamed", permissions=["admin"], rate_limit=0,
                          metadata={"owner": "me"})
    listed: list[Token] = registry.list_tokens(include_inactive=True)
    fetched: Token | None = registry.get_token(copy.token_id)
    new_key: str | None = registry.regenerate_key(token.token_id)
    registry.revoke_token(token.token_id)
    registry.delete_token(token.token_id)
    if valid is None or not allowed or limited or fetched is None or not listed:
        return None
    return new_key


def shared_registry_usage(path: str) -> bool:
    registry: KeyRegistry = SharedKeyRegistry(path, encryption_key=None)
    timeout: float = SharedKeyRegistry.LOCK_TIMEOUT
    api_key, token = registry.create_token("worker", rate_limit=5)
    return registry.validate_token(api_key) is token and timeout > 0


def postgres_registry_usage(dsn: str, path: str) -> int:
    with PostgresKeyRegistry(dsn, "vsk_tokens", None, pool_size=2, pool_timeout=5.0) as registry:
        api_key, token = registry.create_token("worker", rate_limit=5)
        snapshot: Token | None = registry.validate_token(api_key)
        updated: Token | None = registry.update_token(token.token_id, metadata={"team": "a"})
        imported: int = registry.import_tokens(path, encryption_key=None)
        return registry.export_tokens(path) + imported if snapshot and updated else 0


def encryption_usage(text: str) -> str:
    if not ENCRYPTION_AVAILABLE:
        return text
    encryptor = FileEncryptor(FileEncryptor.generate_key())
    blob: bytes = encryptor.encrypt_text(text)
    assert FileEncryptor.is_encrypted(blob) and blob.startswith(MAGIC_HEADER)
    raw: bytes = encryptor.decrypt(encryptor.encrypt(text.encode()))
    try:
        return encryptor.decrypt_text(blob) + raw.decode()
    except InvalidToken:
        return ""


def helpers_usage() -> float:
    items: set[str] = normalize_items(["A", " b "])
    path: str = validate_file_path("tokens.json")
    return cosine_similarity([1.0, 0.0], [0.5, 0.5]) + len(items) + len(path)
