// The backend's connection: construction with the table-name check and the
// schema, the `_conn` scope (lock, stale and inherited connections, ping,
// connect), the generator object behind `_conn`, and the fork hook.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/pyclass.hpp"
#include "vector_vault/vault.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <utility>

namespace vk::vault {

// ---------------------------------------------------------------- helpers

namespace {

object current_pid() { return call_method(global(names.os), names.getpid); }

// `with contextlib.suppress(Exception): fn()`
template <class Fn>
void suppressing(Fn &&fn) {
    object suppress = get_attr(global(names.contextlib), names.suppress);
    object scope = call(suppress, handle(PyExc_Exception));
    with_context(scope, [&](handle) { fn(); });
}

// Point the connection's socket at /dev/null, so that closing the connection
// object sends nothing to the server. A process that inherited the socket
// through a fork shares the parent's server session: a normal close would
// send the protocol's terminate message and end the parent's session.
// Returns false when the connection has no socket of its own to silence.
bool silence_socket(handle conn) {
    object fd_object = call_method(conn, names.fileno);
    long fd = PyLong_AsLong(fd_object.ptr());
    if (fd == -1 && PyErr_Occurred()) raise_pending();
    if (fd < 0 || fd > INT_MAX) return false;
    struct stat st {};
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devnull < 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, "/dev/null");
        raise_pending();
    }
    int rc = ::dup2(devnull, static_cast<int>(fd));
    int saved = errno;
    ::close(devnull);
    if (rc < 0) {
        errno = saved;
        PyErr_SetFromErrno(PyExc_OSError);
        raise_pending();
    }
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return true;
}

// Close a connection that will not be used again; errors are ignored. An
// inherited connection is closed only once its socket cannot reach the server.
void discard(handle conn, bool inherited) {
    suppressing([&] {
        if (inherited && !silence_socket(conn)) return;
        call_method(conn, names.close);
    });
}

// pgvector from 0.8 can continue an hnsw scan past `hnsw.ef_search`
// candidates until the LIMIT is filled with rows that pass the WHERE clause.
bool supports_iterative_scan(handle row) {
    if (row.is_none()) return false;
    const char *s = nullptr;
    object text = nb::steal(PySequence_GetItem(row.ptr(), 0));
    if (text.is_valid() && PyUnicode_Check(text.ptr())) s = PyUnicode_AsUTF8(text.ptr());
    if (s == nullptr) {
        // A row without a readable version says nothing about the server and
        // an exact search is always correct; only an interruption goes on.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) raise_pending();
        PyErr_Clear();
        return false;
    }
    char *end = nullptr;
    long major = std::strtol(s, &end, 10);
    if (end == s || *end != '.') return false;
    long minor = std::strtol(end + 1, nullptr, 10);
    return major > 0 || minor >= 8;
}

// A plain hnsw scan stops after `hnsw.ef_search` (40) candidates and filters
// afterwards: a scoped search, or a top_k above that breadth, would silently
// return fewer rows than exist. With iterative scans in strict order and no
// tuple or memory cut-off below the table's size, the scan continues until
// top_k matching rows are found or the index is exhausted. The first pass is
// also widened to 200 candidates (a higher value configured for the server,
// database or connection is kept): at 40, recall@10 of embedding-like data
// falls to about 0.91 at 100,000 rows. Servers without iterative scans answer
// searches exactly, without the index.
void configure_search(handle conn) {
    object cursor = call_method(conn, names.execute, names.sql_vector_version);
    object row = call_method(cursor, names.fetchone);
    call_method(conn, names.execute, supports_iterative_scan(row) ? names.sql_iterative_scan : names.sql_exact_scan);
}

// A new connection, prepared for use and cached; closed again if any step fails.
object connect(handle self) {
    object connect_fn = get_attr(global(names.psycopg), names.connect);
    object conn = call_kw(connect_fn, {get_attr(self, names._dsn)}, {{names.autocommit, handle(Py_True)}});
    try {
        // Once per backend object: reconnections and forked children skip it.
        if (!truthy(get_attr(self, names._ext_ensured))) {
            call_method(conn, names.execute, names.sql_create_extension);
            set_attr(self, names._ext_ensured, handle(Py_True));
        }
        call(global(names.register_vector), conn);
        configure_search(conn);
        object pid = current_pid();
        set_attr(self, names._connection, conn);
        set_attr(self, names._conn_pid, pid);
    } catch (...) {
        object exc = take_current_exception();
        try {
            discard(conn, false);
        } catch (...) {
            reraise_during(take_current_exception(), std::move(exc));
        }
        reraise(std::move(exc));
    }
    return conn;
}

// Everything `_conn` does between taking the lock and the yield.
object usable_connection(handle self) {
    object conn = get_attr(self, names._connection);
    if (!conn.is_none()) {
        bool inherited = false;
        bool stale = truthy(get_attr(conn, names.closed));
        if (!stale) {
            object owner = get_attr(self, names._conn_pid);
            object pid = current_pid();
            inherited = check(PyObject_RichCompareBool(owner.ptr(), pid.ptr(), Py_NE)) != 0;
            stale = inherited;
        }
        if (stale) {
            discard(conn, inherited);
            conn = nb::none();
        }
    }
    if (!conn.is_none()) {
        try {
            call_method(conn, names.execute, names.select_1);
        } catch (nb::python_error &e) {
            object error_class = get_attr(global(names.psycopg), names.Error);
            if (!e.matches(error_class)) throw;
            discard(conn, false);
            conn = nb::none();
        }
    }
    if (conn.is_none()) conn = connect(self);
    return conn;
}

}  // namespace

Acquired acquire_connection(handle self) {
    object lock = get_attr(self, names._conn_lock);
    call_method(lock, names.acquire);
    try {
        object conn = usable_connection(self);
        return Acquired{std::move(lock), std::move(conn)};
    } catch (...) {
        release_after_error(lock);
    }
}

void release_lock(handle lock) { call_method(lock, names.release); }

void release_after_error(handle lock) {
    object exc = take_current_exception();
    try {
        call_method(lock, names.release);
    } catch (...) {
        reraise_during(take_current_exception(), std::move(exc));
    }
    reraise(std::move(exc));
}

// ---------------------------------------------------------------- the generator behind `_conn`
//
// `_conn` is `contextlib.contextmanager` over a generator function; this is
// its generator: the first `next` acquires (lock, checks, connect) and yields
// the connection; the second `next`, `throw` or `close` releases the lock.
// Dropping a suspended generator releases the lock too, as a generator's
// `finally` would.

namespace {

enum GenState : int { GEN_CREATED, GEN_RUNNING, GEN_SUSPENDED, GEN_DONE };

// The members are handles constructed in place by `conn_generator_function`
// (the allocation is zeroed, which is an empty handle) and emptied by
// `gen_clear`, so every reference is owned by a handle.
struct ConnGenerator {
    PyObject_HEAD
    object self;  // the backend, until the generator finishes
    object lock;  // the lock taken by this acquisition, while suspended
    object conn;  // the yielded connection, while suspended
    int gen_state;
};

ConnGenerator *as_gen(PyObject *o) { return reinterpret_cast<ConnGenerator *>(o); }

int gen_traverse(PyObject *o, visitproc visit, void *arg) {
    ConnGenerator *g = as_gen(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(g->self.ptr());
    Py_VISIT(g->lock.ptr());
    Py_VISIT(g->conn.ptr());
    return 0;
}

int gen_clear(PyObject *o) {
    ConnGenerator *g = as_gen(o);
    g->self.reset();
    g->lock.reset();
    g->conn.reset();
    return 0;
}

// Leave the suspended state: drop the connection and release the lock.
// Returns 0, or -1 with the release's error pending.
int gen_release(ConnGenerator *g) {
    object lock = std::move(g->lock);
    g->conn.reset();
    g->self.reset();
    g->gen_state = GEN_DONE;
    if (!lock.is_valid()) return 0;
    object r = nb::steal(PyObject_CallMethodNoArgs(lock.ptr(), names.release.ptr()));
    return r.is_valid() ? 0 : -1;
}

void gen_finalize(PyObject *o) {
    ConnGenerator *g = as_gen(o);
    if (g->gen_state != GEN_SUSPENDED) return;
    PyObject *saved = PyErr_GetRaisedException();
    if (gen_release(g) < 0) PyErr_WriteUnraisable(o);
    PyErr_SetRaisedException(saved);
}

void gen_dealloc(PyObject *o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
    object tp = nb::steal(reinterpret_cast<PyObject *>(Py_TYPE(o)));  // the instance's reference to its type
    PyObject_GC_UnTrack(o);
    gen_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyObject *gen_resume(ConnGenerator *g, bool raise_stop) {
    switch (g->gen_state) {
    case GEN_RUNNING:
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    case GEN_CREATED:
        g->gen_state = GEN_RUNNING;
        try {
            Acquired held = acquire_connection(g->self);
            g->lock = std::move(held.lock);
            g->conn = std::move(held.conn);
            g->gen_state = GEN_SUSPENDED;
            return nb::borrow(g->conn).release().ptr();
        } catch (...) {
            g->self.reset();
            g->gen_state = GEN_DONE;
            return restore_exception();
        }
    case GEN_SUSPENDED:
        g->gen_state = GEN_RUNNING;
        if (gen_release(g) < 0) return nullptr;
        break;
    default:
        break;
    }
    if (raise_stop) PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
}

PyObject *gen_iternext(PyObject *o) { return gen_resume(as_gen(o), false); }

PyObject *gen_send(PyObject *o, PyObject *value) {
    ConnGenerator *g = as_gen(o);
    if (g->gen_state == GEN_CREATED && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return gen_resume(g, true);
}

// The exception that `throw(typ[, val[, tb]])` raises, as for generators;
// empty with the error pending when the arguments are wrong.
object thrown_exception(handle typ, handle val, handle tb) {
    if (!tb.is_none() && !PyTraceBack_Check(tb.ptr())) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return object();
    }
    object exc;
    if (PyExceptionClass_Check(typ.ptr())) {
        if (!val.is_none() && PyObject_TypeCheck(val.ptr(), reinterpret_cast<PyTypeObject *>(typ.ptr())))
            exc = nb::borrow(val);
        else if (val.is_none())
            exc = nb::steal(PyObject_CallNoArgs(typ.ptr()));
        else if (PyTuple_Check(val.ptr()))
            exc = nb::steal(PyObject_Call(typ.ptr(), val.ptr(), nullptr));
        else
            exc = nb::steal(PyObject_CallOneArg(typ.ptr(), val.ptr()));
        if (exc.is_valid() && !PyExceptionInstance_Check(exc.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", typ.ptr(),
                         tp_name_of(exc));
            exc.reset();
        }
    } else if (PyExceptionInstance_Check(typ.ptr())) {
        if (!val.is_none()) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return object();
        }
        exc = nb::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     tp_name_of(typ));
        return object();
    }
    if (exc.is_valid() && !tb.is_none()) PyException_SetTraceback(exc.ptr(), tb.ptr());
    return exc;
}

PyObject *gen_throw(PyObject *o, PyObject *const *args, Py_ssize_t nargs) {
    ConnGenerator *g = as_gen(o);
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1)
            PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
        else
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    object exc = thrown_exception(args[0], nargs > 1 ? args[1] : Py_None, nargs > 2 ? args[2] : Py_None);
    if (!exc.is_valid()) return nullptr;
    if (g->gen_state == GEN_RUNNING) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->gen_state == GEN_SUSPENDED) {
        g->gen_state = GEN_RUNNING;
        if (gen_release(g) < 0) {
            object late = nb::steal(PyErr_GetRaisedException());
            PyException_SetContext(late.ptr(), exc.release().ptr());
            PyErr_SetRaisedException(late.release().ptr());
            return nullptr;
        }
    } else {
        g->self.reset();
        g->gen_state = GEN_DONE;
    }
    // The caller's exception, unchanged: contextlib checks its identity.
    PyErr_SetRaisedException(exc.release().ptr());
    return nullptr;
}

PyObject *gen_close(PyObject *o, PyObject *) {
    ConnGenerator *g = as_gen(o);
    if (g->gen_state == GEN_RUNNING) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->gen_state == GEN_SUSPENDED) {
        g->gen_state = GEN_RUNNING;
        if (gen_release(g) < 0) return nullptr;
    }
    g->self.reset();
    g->gen_state = GEN_DONE;
    return nb::none().release().ptr();
}

// The generator protocol's own calling conventions check their arguments;
// these signatures only describe them.
constinit const Signature send_sig{"send", false, {req("value")}};
constinit const Signature throw_sig{"throw", false, {req("value")}};
constinit const Signature close_sig{"close", false, {}};

PyMethodDef gen_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(gen_send), METH_O,
     signed_doc(send_sig, "Resume; after the yield this releases the lock and raises StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     signed_doc(throw_sig, "Release the lock and raise the exception of the caller's block.")},
    {"close", reinterpret_cast<PyCFunction>(gen_close), METH_NOARGS,
     signed_doc(close_sig, "Release the lock if it is held; the generator is finished.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

object make_generator_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(gen_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(gen_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(gen_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(gen_finalize)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(gen_iternext)},
        {Py_tp_methods, gen_methods},
        {Py_tp_doc, const_cast<char *>("Generator of one `_conn` acquisition: yields the locked connection once.")},
        {0, nullptr},
    };
    static PyType_Spec generator_type_def = {
        "vesperkit.memory.backends.vector_vault.ConnectionScope",
        sizeof(ConnGenerator),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return steal_or_raise(PyType_FromSpec(&generator_type_def));
}

object conn_generator_function(handle, const Args &a) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(state.generator_type.ptr());
    object gen = steal_or_raise(PyType_GenericAlloc(tp, 0));
    ConnGenerator *g = as_gen(gen.ptr());
    new (&g->self) object(nb::borrow(a[0]));
    new (&g->lock) object();
    new (&g->conn) object();
    g->gen_state = GEN_CREATED;
    return gen;
}

constinit Method def::_conn{
    {"_conn", false, {req("self")}}, conn_generator_function,
    "Scoped use of the backend's connection.\n\n"
    "Takes the backend's lock and yields one open autocommit connection with the\n"
    "pgvector adapters registered: a connection that was closed, belongs to another\n"
    "process (inherited through a fork) or fails a ping is replaced first. The lock\n"
    "is released when the block ends, normally or by an exception."};

// ---------------------------------------------------------------- fork

// In a forked child only the forking thread exists: a lock that another
// thread held at the fork would never be released. Each backend gets a fresh
// lock; the inherited connection is replaced by its first acquisition.
object after_fork_in_child(handle, const Args &) {
    object backends = steal_or_raise(PySequence_List(state.registry.ptr()));
    object lock_type = get_attr(global(names.threading), names.Lock);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(backends.ptr()); ++i) {
        handle backend = PyList_GET_ITEM(backends.ptr(), i);
        object lock = nb::steal(PyObject_CallNoArgs(lock_type.ptr()));
        if (!lock.is_valid() || PyObject_SetAttr(backend.ptr(), names._conn_lock.ptr(), lock.ptr()) < 0)
            PyErr_WriteUnraisable(backend.ptr());
    }
    return nb::none();
}

constinit Method def::_after_fork_in_child{
    {"_after_fork_in_child", false, {}}, after_fork_in_child,
    "Give every backend of a forked child a fresh lock."};

// ---------------------------------------------------------------- construction

namespace {

// Only letters, digits (of any script) and "_" may reach the statements,
// into which the name is spliced.
void check_table_name(handle table) {
    object rest = steal_or_raise(PyUnicode_Replace(table.ptr(), names.underscore.ptr(), names.empty.ptr(), -1));
    object alnum = call_method(rest, names.isalnum);
    if (!truthy(alnum)) raise_format(PyExc_ValueError, "Invalid table name %R", table.ptr());
}

object join_text(std::initializer_list<handle> parts) {
    object list = steal_or_raise(PyList_New(0));
    for (handle p : parts) check(PyList_Append(list.ptr(), p.ptr()));
    return steal_or_raise(PyUnicode_Join(names.empty.ptr(), list.ptr()));
}

object formatted(handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return steal_or_raise(PyObject_Format(value.ptr(), names.empty.ptr()));
}

void create_schema(handle conn, handle self, handle reset) {
    object t = formatted(get_attr(self, names._table));
    if (truthy(reset)) call_method(conn, names.execute, join_text({make_str("DROP TABLE IF EXISTS "), t}));
    object dim = formatted(get_attr(self, names._dim));
    call_method(conn, names.execute,
                join_text({make_str("CREATE TABLE IF NOT EXISTS "), t,
                           make_str(" (\n"
                                    "    id text PRIMARY KEY,\n"
                                    "    tenant_id text,\n"
                                    "    user_id text,\n"
                                    "    session_id text,\n"
                                    "    summary text,\n"
                                    "    record jsonb NOT NULL,\n"
                                    "    embedding vector("),
                           dim, make_str(")\n)")}));
    // Tables made before the tenant column existed gain it here.
    call_method(conn, names.execute,
                join_text({make_str("ALTER TABLE "), t, make_str(" ADD COLUMN IF NOT EXISTS tenant_id text")}));
    call_method(conn, names.execute,
                join_text({make_str("CREATE INDEX IF NOT EXISTS "), t, make_str("_scope ON "), t,
                           make_str("(tenant_id, user_id, session_id)")}));
    call_method(conn, names.execute,
                join_text({make_str("CREATE INDEX IF NOT EXISTS "), t, make_str("_emb ON "), t,
                           make_str(" USING hnsw (embedding vector_cosine_ops)")}));
}

}  // namespace

object Backend_init(handle self, const Args &a) {
    object dim = to_int_arg(a[1], "embedding_dim");
    require_exact_str(a[0], "dsn");
    handle table = a.get(2, names.vsk_memories);
    require_exact_str(table, "table");
    handle reset = a.get(3, handle(Py_False));

    set_attr(self, names._dsn, a[0]);
    set_attr(self, names._dim, dim);
    check_table_name(table);
    set_attr(self, names._table, table);
    set_attr(self, names._ext_ensured, handle(Py_False));
    set_attr(self, names._connection, handle(Py_None));
    set_attr(self, names._conn_pid, handle(Py_None));
    set_attr(self, names._conn_lock, call(get_attr(global(names.threading), names.Lock)));
    call_method(state.registry, names.add, self);

    with_conn(self, [&](handle conn) {
        create_schema(conn, self, reset);
        return nb::none();
    });
    return nb::none();
}

constinit Method def::init{
    {"__init__", true, {req("dsn"), kw_req("embedding_dim"), kw_opt("table", "'vsk_memories'"), kw_opt("reset", "False")}}, Backend_init,
    "Connect to the database at `dsn` and create the table and its two indexes if needed.\n\n"
    "`table` may hold only letters, digits and underscores; `reset` drops the table\n"
    "(with all its rows) first. `embedding_dim` sets the width of the vector column\n"
    "of a table created now; an existing table keeps its own."};

}  // namespace vk::vault
