// Internal interface of the vector vault module: module state, interned names,
// the connection scope shared by every operation, and the entry points that
// module.cpp registers (connection.cpp, records.cpp, search.cpp).
#pragma once

#include "common/context.hpp"
#include "common/dispatch.hpp"

#include <utility>

namespace vk::vault {

/// Objects created when the module is loaded and kept for the life of the process.
struct ModuleState {
    handle module_dict;       // globals: the driver, the adapter, json, os... looked up at call time
    handle module_name;       // "vesperkit.memory.backends.vector_vault"
    handle backend_type;      // PostgresVectorBackend
    handle generator_type;    // the objects that `_conn`'s generator function returns
    handle registry;          // weakref.WeakSet of backends, renewed after a fork
    handle statements;        // dict: table name -> list of statement texts, built on first use
    // The function that `contextmanager` wraps into `_conn`: while an object
    // of the exact class still finds it, the C++ scope may be used directly.
    handle conn_function;
};

extern ModuleState state;

/// Interned attribute names, dict keys and fixed texts.
struct Names {
    handle _dsn, _dim, _table, _ext_ensured, _connection, _conn_pid, _conn_lock, _common_words;
    handle _conn, _session_id, _embedding_or_none, add;
    handle acquire, release, closed, close, execute, fetchone, fetchall, rowcount, fileno;
    handle connect, Error, getpid, suppress, dumps, Lock, get;
    handle psycopg, os, json, contextlib, threading, Vector, register_vector;
    handle id, tenant_id, user_id, session_id, summary, source, embedding, score, method;
    handle count, hybrid, simple;
    handle text, common, query, top_k, ids;  // hybrid_search's named parameters
    handle autocommit, isalnum, empty, underscore;
    handle vsk_memories, select_1;
    // Statements sent while preparing a new connection.
    handle sql_create_extension, sql_vector_version, sql_iterative_scan, sql_exact_scan;
};

extern Names names;

void init_names();

/// The generator type behind `_conn` (created once by module.cpp).
object make_generator_type();

// ---------------------------------------------------------------- helpers

/// `name` in the module's globals, at call time.
inline object global(handle name) { return lookup_global(state.module_dict, name); }

/// True when `self` is exactly a PostgresVectorBackend whose method `M` is
/// still the module's own: then its C++ body may be used directly;
/// otherwise the attribute is called, so that subclasses and replaced
/// attributes are honoured.
template <const Method &M>
bool uses_own(handle self) {
    return is_exact_with_own_method<M>(self, state.backend_type);
}

/// The pieces of one acquisition: the lock that was taken and the connection.
struct Acquired {
    object lock;
    object conn;
};

/// Steps of `_conn` up to the yield: take the lock, discard a stale or
/// foreign connection, ping a cached one, connect when needed. On failure the
/// lock is released and the exception propagates.
Acquired acquire_connection(handle self);

/// Release `lock` after the block ended normally.
void release_lock(handle lock);

/// Release `lock` while the C++ exception being handled propagates (call in a catch block).
[[noreturn]] void release_after_error(handle lock);

/// Run `body(conn)` inside one `_conn()` block of `self`. The result is empty
/// when an overriding `_conn` swallowed the body's exception.
template <class Body>
object with_conn(handle self, Body &&body);

// ---------------------------------------------------------------- statements

/// Scope masks: which of tenant, user, session narrow the rows; SCOPE_IDS
/// (hybrid families) an identifier set instead.
enum : unsigned { SCOPE_TENANT = 1, SCOPE_USER = 2, SCOPE_SESSION = 4, SCOPE_IDS = 8 };

enum class Stmt : unsigned {
    insert,
    get,
    update,
    remove,
    search_ids,
    search_scope,               // + mask (8 entries)
    search_count = search_scope + 8,  // + mask; mask 0: the identifier set
    search_exact = search_count + 8,  // + mask; mask 0: the identifier set
    hybrid_index = search_exact + 8,  // + mask or SCOPE_IDS: cosine candidates through the index
    hybrid_exact = hybrid_index + 9,  // + mask or SCOPE_IDS: the scope's cosine candidates ranked exactly
    hybrid_text = hybrid_exact + 9,   // + mask or SCOPE_IDS: the text ranking alone
    common_words = hybrid_text + 9,   // the text index's most common words and the table's rows
    list_scope,
    count_scope = list_scope + 8,
    clear_scope = count_scope + 8,
    end = clear_scope + 8,
};

/// The reciprocal-rank fusion constant of hybrid_search (see statements.cpp).
inline constexpr int RRF_K = 20;

/// Candidates per ranking of a hybrid search for `top_k` (0 to 1,000,000; see statements.cpp).
inline Py_ssize_t hybrid_depth(Py_ssize_t top_k) { return RRF_K + 2 * top_k; }

/// Rows of the scope a word may be found in before it is too common to rank by.
inline Py_ssize_t word_cap(Py_ssize_t depth) { return 4 * depth; }

/// The text of statement `which` (plus `mask` for the scoped families) for
/// `table`; the hybrid families also name a text search `config` (a checked
/// str) and their candidate `depth`, written into the text.
object statement(handle table, Stmt which, unsigned mask = 0, handle config = handle(), Py_ssize_t depth = 0);

/// Scope mask and parameters of three optional identifiers (None: no restriction).
unsigned scope_of(handle tenant_id, handle user_id, handle session_id, handle params_list);

// ---------------------------------------------------------------- entry points

/// The functions and methods (`Method`), each defined beside its body.
namespace def {
extern constinit Method _conn, _after_fork_in_child, init, _session_id, _embedding_or_none, add, add_batch,
    get, update, delete_, vector_search, hybrid_search,
    create_text_index, all_records, stats, clear, convert_storage_format;
}  // namespace def

// ---------------------------------------------------------------- templates

template <class Body>
object with_conn(handle self, Body &&body) {
    if (is_exact_with_own_method(self, state.backend_type, names._conn, state.conn_function)) {
        Acquired held = acquire_connection(self);
        object result;
        try {
            result = body(handle(held.conn));
        } catch (...) {
            release_after_error(held.lock);
        }
        release_lock(held.lock);
        return result;
    }
    object mgr = call_method(self, names._conn);
    object result;
    bool swallowed = with_context(mgr, [&](handle conn) { result = body(conn); });
    if (swallowed) return object();
    return result;
}

}  // namespace vk::vault
