"""A tour of vesperkit's native core on a small set of conversation sessions.

Run it with ``./scripts/demo.sh``: it builds the package, starts a throw-away
PostgreSQL server with pgvector, and then

1. relates the sessions in a concept mesh and prints its statistics, the
   top-ranked sessions, the export for the browser view and a strongest path,
   and writes the browser view of the mesh as one HTML file;
2. stores them in the vector vault and runs scoped nearest-neighbour searches;
3. issues, validates, rate-limits, revokes and regenerates API keys kept in an
   encrypted token file;
4. moves those keys into a PostgreSQL table, where four worker processes
   share one rate limit, and exports them back to a token file;
5. encrypts and decrypts text in the fixed on-disk format.

With ``--serve`` it then serves the view on http://127.0.0.1:8765/ (``--port``
picks another port, 0 a free one) until Ctrl-C: click two sessions to see the
strongest chain between them, computed on the whole mesh.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
import tempfile
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # devtools/

from vesperkit.auth.key_registry import KeyRegistry  # noqa: E402
from vesperkit.auth.postgres_registry import PostgresKeyRegistry  # noqa: E402
from vesperkit.graph.concept_mesh import ConceptMesh  # noqa: E402
from vesperkit.graph.view import render_html  # noqa: E402
from vesperkit.memory.backends.vector_vault import PostgresVectorBackend  # noqa: E402
from vesperkit.utils.encryption import MAGIC_HEADER, FileEncryptor  # noqa: E402

from mesh_server import DEFAULT_PORT, serve  # noqa: E402  (beside this file)


def heading(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def short(text: str, width: int = 60) -> str:
    return textwrap.shorten(text, width=width, placeholder="…")


def load_sessions() -> list[dict]:
    with open(HERE / "sample_sessions.json", encoding="utf-8") as f:
        return json.load(f)


PAGE_TITLE = "vesperkit demo: concept mesh"


def page_view(mesh: ConceptMesh) -> dict:
    """The export the browser view draws: the 20 most central sessions, 4 links each."""
    return mesh.to_dict(max_nodes=20, max_edges_per_node=4, summary_chars=160)


def concept_mesh_tour(sessions: list[dict], page: Path) -> ConceptMesh:
    heading("1. Concept mesh")
    mesh = ConceptMesh()
    mesh.add_conversations(sessions)
    stats = mesh.get_stats()
    print(f"{stats['total_nodes']} sessions, {stats['total_edges']} edges, "
          f"global density {stats['global_density']:.3f}, "
          f"density entropy {stats['density_entropy']:.3f}")
    print(f"average density {stats['avg_density']:.3f}, "
          f"average centrality {stats['avg_centrality']:.3f}")

    print("\nMost central sessions:")
    for summary, score in stats["top_centrality"][:5]:
        print(f"  {score:7.4f}  {short(summary)}")
    print("\nDensest sessions:")
    for summary, score in stats["top_density"][:3]:
        print(f"  {score:7.4f}  {short(summary)}")

    # One session added on its own, as a live write would do.
    extra = dict(sessions[0], id="live-0001", summary="Follow-up: " + sessions[0]["summary"])
    node = mesh.add_conversation(extra)
    print(f"\nAdded {node.session_id!r} live: {len(node.neighbors)} neighbours, "
          f"total_conversations={mesh.total_conversations}")

    mesh.calculate_centralities()
    view = mesh.to_dict(max_nodes=10, max_edges_per_node=3, summary_chars=48)
    print(f"\nBrowser view: {len(view['nodes'])} of {view['total_nodes']} nodes, "
          f"{len(view['edges'])} edges, truncated={view['truncated']}")
    for rec in view["nodes"][:3]:
        print(f"  {rec['id']:<12} centrality {rec['centrality']:<7} {rec['summary']}")

    ids = list(mesh.nodes)
    source, target = ids[0], ids[-2]
    path = mesh.shortest_path(source, target)
    print(f"\nStrongest chain {source} -> {target}: {' -> '.join(path) if path else '(none)'}")

    mesh.calculate_densities()  # the live session's density too
    page.parent.mkdir(parents=True, exist_ok=True)
    render_html(page_view(mesh), page, title=PAGE_TITLE)
    print(f"\nBrowser view written to {page}")
    return mesh


def vector_vault_tour(sessions: list[dict]) -> None:
    heading("2. Vector vault (PostgreSQL + pgvector)")
    from devtools.postgres import ensure_server, scratch_database

    server = ensure_server()  # VESPERKIT_TEST_DSN, or a local server started now
    with scratch_database(server, prefix="demo") as dsn:
        vault_operations(dsn, sessions)


def vault_operations(dsn: str, sessions: list[dict]) -> None:
    width = len(sessions[0]["embedding"])
    vault = PostgresVectorBackend(dsn, embedding_dim=width, table="vsk_demo_memories", reset=True)
    stored = vault.add_batch(sessions)
    print(f"stored {stored} sessions; stats: {vault.stats()}")
    tenants = sorted({s.get("tenant_id") for s in sessions if s.get("tenant_id")})
    for tenant in tenants:
        print(f"  {tenant}: {vault.stats(tenant_id=tenant)['count']} sessions")

    query = sessions[3]
    print(f"\nNearest to {short(query['summary'], 50)!r}, scoped to {query['tenant_id']}:")
    hits = vault.vector_search(query["embedding"], top_k=4, threshold=0.2,
                               tenant_id=query["tenant_id"])
    for hit in hits:
        print(f"  {hit['score']:.3f}  {hit['id']:<12} {short(hit['summary'], 50)}")

    hybrid_tour(vault, sessions)

    vault.update(query["id"], {"pinned": True})
    print(f"\nupdate + get: pinned={vault.get(query['id']).get('pinned')}")
    vault.clear(tenant_id=tenants[-1])
    print(f"after clearing {tenants[-1]}: {vault.stats()}")


def hybrid_tour(vault: PostgresVectorBackend, sessions: list[dict]) -> None:
    """A question naming a person: the embedding finds the topic, the words find the person."""
    question = "What did Uma Novak say about the lock contention?"
    # The demo has no embedding model: the question's meaning is that of a
    # session about lock contention in general.
    meaning = next(s for s in sessions if s["id"] == "mem-9-000010")["embedding"]
    print(f"\nQuestion: {question!r}")
    print("  vector_search (meaning only):")
    for hit in vault.vector_search(meaning, top_k=3, threshold=0.0):
        print(f"    {hit['score']:.3f}  {hit['id']:<12} {short(hit['summary'], 60)}")
    vault.create_text_index()  # idempotent; worth it beyond a few thousand sessions
    print("  hybrid_search (words and meaning):")
    for hit in vault.hybrid_search(question, meaning, top_k=3):
        print(f"    {hit['score']:.3f}  {hit['id']:<12} {short(hit['summary'], 60)}")


def key_registry_tour(workdir: Path) -> tuple[Path, str]:
    heading("3. API key registry (encrypted token file)")
    key = FileEncryptor.generate_key()
    tokens_file = workdir / "vesperkit_tokens.json"
    registry = KeyRegistry(str(tokens_file), encryption_key=key)
    api_key, token = registry.create_token("dashboard", permissions=["read"], rate_limit=2,
                                           metadata={"team": "memory"})
    print(f"issued {token.token_id} (key shown once: {api_key[:10]}…, {len(api_key)} chars)")
    head = tokens_file.read_bytes()[: len(MAGIC_HEADER)]
    print(f"token file starts with {head!r}, mode {oct(tokens_file.stat().st_mode & 0o777)}")

    results = [registry.validate_token(api_key) is not None for _ in range(3)]
    print(f"three validations with rate_limit=2: {results}")
    print(f"has 'write' permission: {token.has_permission('write')}")

    reopened = KeyRegistry(str(tokens_file), encryption_key=key)
    print(f"reopened registry: {[t.name for t in reopened.list_tokens()]}, "
          f"last_used={reopened.get_token(token.token_id).last_used}")

    new_key = reopened.regenerate_key(token.token_id)
    print(f"regenerated: old key valid={reopened.validate_token(api_key) is not None}, "
          f"new key valid={reopened.validate_token(new_key) is not None}")
    reopened.revoke_token(token.token_id)
    print(f"revoked: new key valid={reopened.validate_token(new_key) is not None}, "
          f"active tokens={len(reopened.list_tokens())}, all={len(reopened.list_tokens(True))}")
    return tokens_file, key


def checks_in_a_worker(dsn: str, key: str, api_key: str, times: int) -> int:
    """One worker process of an API server: its own registry on the shared table."""
    with PostgresKeyRegistry(dsn, "vsk_demo_tokens", key) as registry:
        return sum(registry.validate_token(api_key) is not None for _ in range(times))


def postgres_keys_tour(tokens_file: Path, key: str) -> None:
    heading("4. API keys for several processes or machines (PostgreSQL)")
    from devtools.postgres import ensure_server, scratch_database

    with scratch_database(ensure_server(), prefix="demo") as dsn:
        registry = PostgresKeyRegistry(dsn, "vsk_demo_tokens", key)
        print(f"imported {registry.import_tokens(str(tokens_file), key)} token(s) from the token file")
        api_key, token = registry.create_token("search api", rate_limit=5)
        registry.close()  # the workers open connections of their own
        with multiprocessing.get_context("fork").Pool(4) as workers:
            accepted = workers.starmap(checks_in_a_worker, [(dsn, key, api_key, 4)] * 4)
        print(f"four worker processes, 4 checks each, rate_limit=5: {sum(accepted)} accepted in all {accepted}")
        new_key = registry.regenerate_key(token.token_id)
        registry.update_token(token.token_id, rate_limit=0)  # the window of the last minute stays with the token
        print(f"regenerated, limit lifted: old key valid={registry.validate_token(api_key) is not None}, "
              f"new key valid={registry.validate_token(new_key) is not None}")
        exported = tokens_file.with_name("exported_tokens.json")
        registry.export_tokens(str(exported), key)
        registry.close()
        names = [t.name for t in KeyRegistry(str(exported), encryption_key=key).list_tokens(True)]
        print(f"exported to a token file that KeyRegistry opens: {names}")


def encryption_tour() -> None:
    heading("5. File encryption")
    encryptor = FileEncryptor(FileEncryptor.generate_key())
    secret = "Session notes: the user prefers Rust — keep answers short."
    blob = encryptor.encrypt_text(secret)
    print(f"{len(secret)} characters -> {len(blob)} bytes, header {blob[:len(MAGIC_HEADER)]!r}")
    print(f"is_encrypted: {FileEncryptor.is_encrypted(blob)}; "
          f"round trip equal: {encryptor.decrypt_text(blob) == secret}")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="A tour of vesperkit's native core.")
    parser.add_argument("--serve", action="store_true",
                        help="afterwards, serve the browser view on 127.0.0.1 until Ctrl-C")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help="port for --serve (0: any free port)")
    parser.add_argument("--page", type=Path, default=HERE.parent / "build" / "vesperkit-mesh.html",
                        help="where to write the browser view (default: build/vesperkit-mesh.html)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    sessions = load_sessions()
    print(f"vesperkit demo: {len(sessions)} sample sessions")
    mesh = concept_mesh_tour(sessions, args.page.resolve())
    vector_vault_tour(sessions)
    with tempfile.TemporaryDirectory(prefix="vesperkit-demo-") as tmp:
        postgres_keys_tour(*key_registry_tour(Path(tmp)))
    encryption_tour()
    print()
    if args.serve:
        heading("6. The browser view")
        serve(mesh, page_view(mesh), port=args.port, title=PAGE_TITLE)
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUTF8", "1")
    raise SystemExit(main())
