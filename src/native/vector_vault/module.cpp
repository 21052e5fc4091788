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
    VK_NAME(_conn_pid); VK_NAME(_conn_lock); VK_NAME(_common_words);
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
    VK_NAME(text); VK_NAME(common); VK_NAME(query); VK_NAME(top_k); VK_NAME(ids);
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

PyMethodDef *const init_methods = method_table<def::init>();

PyMethodDef *const backend_methods = method_table<def::_session_id, def::_embedding_or_none, def::add,
                                                  def::add_batch, def::get, def::update, def::delete_,
                                                  def::vector_search, def::hybrid_search,
                                                  def::create_text_index, def::all_records, def::stats, def::clear,
                                                  def::convert_storage_format>();

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
    object conn_fn = new_function(function_def<def::_conn>(), state.module_name);
    object conn_cm = call(get_attr(contextlib, interned("contextmanager")), conn_fn);
    set_attr(conn_cm, interned("__qualname__"), make_str("PostgresVectorBackend._conn"));
    set_attr(backend, names._conn, conn_cm);
    add_methods(backend, backend_methods);
    set("PostgresVectorBackend", backend);

    state.conn_function = conn_cm.release();
    state.backend_type = backend.release();

    // Forked children must not inherit a lock held by a thread that does not exist there.
    if (PyObject_HasAttrString(os.ptr(), "register_at_fork")) {
        object hook = new_function(function_def<def::_after_fork_in_child>(), state.module_name);
        call_kw(get_attr(os, interned("register_at_fork")), {}, {{interned("after_in_child"), hook}});
    }
}
