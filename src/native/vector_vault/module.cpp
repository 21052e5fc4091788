// Module `vesperkit.memory.backends.vector_vault`: binds the standard modules,
// the PostgreSQL driver and pgvector's adapter, and defines
// PostgresVectorBackend, in their documented order.
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "vector_vault/vault.hpp"

namespace vk::vault {

ModuleState state;
Names names;

void init_names() {
    VK_NAME(_dsn); VK_NAME(_dim); VK_NAME(_table); VK_NAME(_ext_ensured); VK_NAME(_connection);
    VK_NAME(_conn_pid); VK_NAME(_conn_lock);
    VK_NAME(_conn); VK_NAME(_session_id); VK_NAME(_embedding_or_none); VK_NAME(add);
    VK_NAME(acquire); VK_NAME(release); VK_NAME(closed); VK_NAME(close); VK_NAME(execute);
    VK_NAME(fetchone); VK_NAME(fetchall); VK_NAME(rowcount); VK_NAME(fileno);
    VK_NAME(connect); VK_NAME(Error); VK_NAME(getpid); VK_NAME(suppress); VK_NAME(dumps); VK_NAME(Lock);
    VK_NAME(get);
    VK_NAME(psycopg); VK_NAME(os); VK_NAME(json); VK_NAME(contextlib); VK_NAME(threading); VK_NAME(Vector);
    VK_NAME(register_vector);
    VK_NAME(id); VK_NAME(tenant_id); VK_NAME(user_id); VK_NAME(session_id); VK_NAME(summary); VK_NAME(source);
    VK_NAME(embedding); VK_NAME(score); VK_NAME(method); VK_NAME(count); VK_NAME(hybrid); VK_NAME(simple);
    VK_NAME(vsk_memories);
    VK_NAME(autocommit); VK_NAME(isalnum);
    names.empty = interned("");
    names.underscore = interned("_");
    names.select_1 = interned("SELECT 1");
    names.sql_create_extension = interned("CREATE EXTENSION IF NOT EXISTS vector");
    names.sql_vector_version = interned("SELECT extversion FROM pg_extension WHERE extname = 'vector'");
    names.sql_iterative_scan = interned(
        "SELECT set_config('hnsw.iterative_scan', 'strict_order', false), "
        "set_config('hnsw.max_scan_tuples', '2147483647', false), "
        "set_config('hnsw.scan_mem_multiplier', '1000', false), "
        "set_config('hnsw.ef_search', least(1000, greatest(200, "
        "CASE WHEN current_setting('hnsw.ef_search', true) ~ '^[0-9]{1,9}$' "
        "THEN current_setting('hnsw.ef_search', true)::int ELSE 0 END))::text, false)");
    names.sql_exact_scan = interned("SET enable_indexscan = off");
}

namespace {

PyMethodDef conn_def = method_def<conn_generator_function>(
    "_conn",
    "_conn(self)\n--\n\n"
    "Scoped use of the backend's connection.\n\n"
    "Takes the backend's lock and yields one open autocommit connection with the\n"
    "pgvector adapters registered: a connection that was closed, belongs to another\n"
    "process (inherited through a fork) or fails a ping is replaced first. The lock\n"
    "is released when the block ends, normally or by an exception.");

PyMethodDef fork_def = method_def<after_fork_in_child>(
    "_after_fork_in_child", "_after_fork_in_child()\n--\n\nGive every backend of a forked child a fresh lock.");

PyMethodDef init_methods[] = {
    init_def<Backend_init>(
        "__init__($self, /, dsn, *, embedding_dim, table='vsk_memories', reset=False)\n--\n\n"
        "Connect to the database at `dsn` and create the table and its two indexes if needed.\n\n"
        "`table` may hold only letters, digits and underscores; `reset` drops the table\n"
        "(with all its rows) first. `embedding_dim` sets the width of the vector column\n"
        "of a table created now; an existing table keeps its own."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef backend_methods[] = {
    method_def<Backend_session_id>(
        "_session_id",
        "_session_id(record)\n--\n\n"
        "The \"session_id\" inside the record's \"source\" dict (a str), or None.",
        METH_STATIC),
    method_def<Backend_embedding_or_none>(
        "_embedding_or_none",
        "_embedding_or_none(record)\n--\n\n"
        "The record's \"embedding\" when it is truthy (the same object), otherwise None.",
        METH_STATIC),
    method_def<Backend_add>(
        "add",
        "add($self, /, record)\n--\n\n"
        "Insert the record, or replace every column of the row with the same \"id\".\n\n"
        "The whole record is kept as JSON; its tenant, user, session, summary and\n"
        "embedding also fill their own columns."),
    method_def<Backend_add_batch>(
        "add_batch",
        "add_batch($self, /, records)\n--\n\n"
        "`add` each record in order, each committed on its own; returns len(records).\n\n"
        "A failing record stops the batch: those before it stay stored."),
    method_def<Backend_get>(
        "get",
        "get($self, /, memory_id)\n--\n\nThe stored record (a new dict), or None."),
    method_def<Backend_update>(
        "update",
        "update($self, /, memory_id, fields)\n--\n\n"
        "Merge the top-level keys of `fields` into the stored JSON record; True when a row changed.\n\n"
        "Only the JSON changes: the scope, summary and embedding columns keep the values of\n"
        "the last `add`."),
    method_def<Backend_delete>(
        "delete",
        "delete($self, /, memory_id)\n--\n\nDelete the record; True when a row was deleted."),
    method_def<Backend_vector_search>(
        "vector_search",
        "vector_search($self, /, query_embedding, *, top_k, threshold, tenant_id=None, user_id=None, "
        "session_id=None, allowed_ids=None)\n--\n\n"
        "The top_k stored records nearest to the query by cosine distance, best first, among\n"
        "those scoring at least `threshold`.\n\n"
        "Each item is a copy of the record with \"score\" (cosine similarity) and \"method\"\n"
        "(\"embedding\") set. The rows are narrowed by tenant, user and session, or instead\n"
        "by the set `allowed_ids`."),
    method_def<Backend_hybrid_search>(
        "hybrid_search",
        "hybrid_search($self, /, query_text, query_embedding, *, top_k, tenant_id=None, user_id=None, "
        "session_id=None, allowed_ids=None, text_search_config='simple')\n--\n\n"
        "The top_k stored records that best match the query by words and by meaning, best first.\n\n"
        "Two rankings of the scope are fused by reciprocal rank (constant 20): the cosine\n"
        "ranking of the embeddings and a ranking of the summaries by the query's words\n"
        "(full-text search under `text_search_config`, 'simple' by default: words are\n"
        "lower-cased, never stemmed or dropped, whatever the language). A word found in\n"
        "more than 4 * (20 + 2 * top_k) rows of the scope is too common to rank by; rarer\n"
        "words count more. An empty embedding leaves the word ranking alone, a text\n"
        "without usable words the cosine ranking; a record without an embedding can be\n"
        "found by its words. Each item is a copy of the record with \"score\" (the fused\n"
        "score, at most 2 / 21) and \"method\" (\"hybrid\") set. The rows are narrowed as\n"
        "for vector_search. Fast on large tables once create_text_index() has run."),
    method_def<Backend_create_text_index>(
        "create_text_index",
        "create_text_index($self, /, text_search_config='simple')\n--\n\n"
        "Create the full-text index that hybrid_search uses with this configuration, if missing.\n\n"
        "Built with CREATE INDEX CONCURRENTLY on a connection of its own, so writers are\n"
        "not blocked; an invalid index left by an interrupted build is rebuilt. The\n"
        "table is analysed afterwards. Safe to call again: an existing index is kept."),
    method_def<Backend_all_records>(
        "all_records",
        "all_records($self, /, *, tenant_id=None, user_id=None, session_id=None)\n--\n\n"
        "Every stored record of the scope, as a list (in no particular order)."),
    method_def<Backend_stats>(
        "stats",
        "stats($self, /, *, tenant_id=None, user_id=None, session_id=None)\n--\n\n"
        "{\"count\": number of stored records of the scope}."),
    method_def<Backend_clear>(
        "clear",
        "clear($self, /, tenant_id=None, user_id=None, session_id=None)\n--\n\n"
        "Delete every record of the scope (all records when no identifier is given)."),
    method_def<Backend_convert_storage_format>(
        "convert_storage_format",
        "convert_storage_format($self, /, new_format, new_file=None)\n--\n\n"
        "Always raises NotImplementedError: records live in the database, not in a file."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

}  // namespace vk::vault

VK_MODULE(vector_vault, vk::vault,
          "Memory records in one PostgreSQL table with a pgvector column; nearest-neighbour "
          "search by cosine distance, scoped by tenant, user and session.",
          set) {
    using namespace vk;
    using namespace vk::vault;
    const char *modname = PyUnicode_AsUTF8(state.module_name.ptr());

    object contextlib = import_module("contextlib");
    object os = import_module("os");
    object threading = import_module("threading");
    set("contextlib", contextlib);
    set("json", import_module("json"));
    set("os", os);
    set("threading", threading);
    object typing = import_module("typing");
    for (const char *name : {"Iterable", "List", "Optional", "Set"}) set(name, get_attr(typing, interned(name)));
    // Required: without the driver or the adapter the module does not load.
    set("psycopg", import_module("psycopg"));
    set("Vector", get_attr(import_module("pgvector"), interned("Vector")));
    set("register_vector", get_attr(import_module("pgvector.psycopg"), interned("register_vector")));

    state.statements = steal_or_raise(PyDict_New()).release();
    state.registry = call(get_attr(import_module("weakref"), interned("WeakSet"))).release();
    state.generator_type = make_generator_type().release();

    object backend = new_plain_class(modname, "PostgresVectorBackend",
        "StorageBackend backed by Postgres + pgvector.\n\n"
        "Each memory record is one row of one table: the full record in a jsonb column,\n"
        "its summary's embedding in a vector column indexed (hnsw) for cosine distance,\n"
        "and its tenant, user and session identifiers in indexed columns for scoped\n"
        "searches. One connection per process, cached; a lock serialises its use, so one\n"
        "backend may be shared by several threads.");
    add_methods(backend, init_methods);
    object conn_fn = new_function(&conn_def, state.module_name);
    object conn_cm = call(get_attr(contextlib, interned("contextmanager")), conn_fn);
    set_attr(conn_cm, interned("__qualname__"), make_str("PostgresVectorBackend._conn"));
    set_attr(backend, names._conn, conn_cm);
    add_methods(backend, backend_methods);
    set("PostgresVectorBackend", backend);

    state.conn_function = conn_cm.release();
    state.backend_type = backend.release();

    // Forked children must not inherit a lock held by a thread that does not exist there.
    if (PyObject_HasAttrString(os.ptr(), "register_at_fork")) {
        object hook = new_function(&fork_def, state.module_name);
        call_kw(get_attr(os, interned("register_at_fork")), {}, {{interned("after_in_child"), hook}});
    }
}
