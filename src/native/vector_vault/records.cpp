// Single-record operations: add, add_batch, get, update, delete, and the two
// column extractions _session_id and _embedding_or_none.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "vector_vault/vault.hpp"

namespace vk::vault {

namespace {

// `d.get(key)` of an exact dict, owned (later calls into Python may change d).
object dict_value(handle d, handle key) { return get_or(d, key, handle(Py_None)); }

object session_id_of_record(handle record) {
    object source = dict_value(record, names.source);
    object session;
    if (!truthy(source)) {
        session = nb::none();  // a fresh empty dict has no "session_id"
    } else {
        session = call_method(source, names.get, names.session_id);
    }
    if (!session.is_none() && !PyUnicode_CheckExact(session.ptr()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", tp_name_of(session));
    return session;
}

object embedding_of_record(handle record) {
    object embedding = dict_value(record, names.embedding);
    return truthy(embedding) ? embedding : nb::none();
}

// `self._session_id(record)` / `self._embedding_or_none(record)`, honouring overrides.
object session_id_via(handle self, handle record) {
    if (uses_own<def::_session_id>(self)) {
        require_exact_dict(record, "record");
        return session_id_of_record(record);
    }
    return call_method(self, names._session_id, record);
}

object embedding_via(handle self, handle record) {
    if (uses_own<def::_embedding_or_none>(self)) {
        require_exact_dict(record, "record");
        return embedding_of_record(record);
    }
    return call_method(self, names._embedding_or_none, record);
}

object json_dumps(handle value) { return call_method(global(names.json), names.dumps, value); }

void add_record(handle self, handle record) {
    require_exact_dict(record, "record");
    with_conn(self, [&](handle conn) {
        object sql = statement(get_attr(self, names._table), Stmt::insert);
        // Evaluated in column order; the first failure ends the operation
        // before anything is sent.
        object id = steal_or_raise(PyObject_GetItem(record.ptr(), names.id.ptr()));
        object tenant = dict_value(record, names.tenant_id);
        object user = dict_value(record, names.user_id);
        object session = session_id_via(self, record);
        object summary = dict_value(record, names.summary);
        object json_text = json_dumps(record);
        object embedding = embedding_via(self, record);
        object params = steal_or_raise(PyTuple_Pack(7, id.ptr(), tenant.ptr(), user.ptr(), session.ptr(),
                                                    summary.ptr(), json_text.ptr(), embedding.ptr()));
        call_method(conn, names.execute, sql, params);
        return nb::none();
    });
}

bool rowcount_positive(handle cursor) {
    object rowcount = get_attr(cursor, names.rowcount);
    object zero = make_int(0);
    return check(PyObject_RichCompareBool(rowcount.ptr(), zero.ptr(), Py_GT)) != 0;
}

// Statement `which` with the parameters `make_params()` (built once the
// connection is held) in one `_conn()` block: True when it changed a row.
template <class MakeParams>
object changes_a_row(handle self, Stmt which, MakeParams &&make_params) {
    object changed = with_conn(self, [&](handle conn) {
        object sql = statement(get_attr(self, names._table), which);
        object params = make_params();
        object cursor = call_method(conn, names.execute, sql, params);
        return nb::borrow(rowcount_positive(cursor) ? Py_True : Py_False);
    });
    return changed.is_valid() ? changed : nb::borrow(Py_False);
}

}  // namespace

object Backend_session_id(handle, const Args &a) {
    require_exact_dict(a[0], "record");
    return session_id_of_record(a[0]);
}

constinit Method def::_session_id{
    {"_session_id", false, {req("record")}}, Backend_session_id,
    "The \"session_id\" inside the record's \"source\" dict (a str), or None.", METH_STATIC};

object Backend_embedding_or_none(handle, const Args &a) {
    require_exact_dict(a[0], "record");
    return embedding_of_record(a[0]);
}

constinit Method def::_embedding_or_none{
    {"_embedding_or_none", false, {req("record")}}, Backend_embedding_or_none,
    "The record's \"embedding\" when it is truthy (the same object), otherwise None.", METH_STATIC};

object Backend_add(handle self, const Args &a) {
    add_record(self, a[0]);
    return nb::none();
}

constinit Method def::add{
    {"add", true, {req("record")}}, Backend_add,
    "Insert the record, or replace every column of the row with the same \"id\".\n\n"
    "The whole record is kept as JSON; its tenant, user, session, summary and\n"
    "embedding also fill their own columns."};

object Backend_add_batch(handle self, const Args &a) {
    handle records = a[0];
    require_exact_list(records, "records");
    // One acquisition and one commit per record; the list is re-read at each
    // step, as a list iterator does, since `add` may run caller code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i) {
        object item = nb::borrow(PyList_GET_ITEM(records.ptr(), i));
        if (uses_own<def::add>(self))
            add_record(self, item);
        else
            call_method(self, names.add, item);
    }
    return make_int(static_cast<long long>(PyList_GET_SIZE(records.ptr())));
}

constinit Method def::add_batch{
    {"add_batch", true, {req("records")}}, Backend_add_batch,
    "`add` each record in order, each committed on its own; returns len(records).\n\n"
    "A failing record stops the batch: those before it stay stored."};

object Backend_get(handle self, const Args &a) {
    handle memory_id = a[0];
    require_exact_str(memory_id, "memory_id");
    object row = with_conn(self, [&](handle conn) {
        object sql = statement(get_attr(self, names._table), Stmt::get);
        object params = steal_or_raise(PyTuple_Pack(1, memory_id.ptr()));
        object cursor = call_method(conn, names.execute, sql, params);
        return call_method(cursor, names.fetchone);
    });
    if (!row.is_valid() || row.is_none()) return nb::none();
    object record = steal_or_raise(PySequence_GetItem(row.ptr(), 0));
    if (!record.is_none() && !PyDict_CheckExact(record.ptr()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", tp_name_of(record));
    return record;
}

constinit Method def::get{
    {"get", true, {req("memory_id")}}, Backend_get,
    "The stored record (a new dict), or None."};

object Backend_update(handle self, const Args &a) {
    handle memory_id = a[0], fields = a[1];
    require_exact_str(memory_id, "memory_id");
    require_exact_dict(fields, "fields");
    return changes_a_row(self, Stmt::update, [&] {
        object json_text = json_dumps(fields);
        return steal_or_raise(PyTuple_Pack(2, json_text.ptr(), memory_id.ptr()));
    });
}

constinit Method def::update{
    {"update", true, {req("memory_id"), req("fields")}}, Backend_update,
    "Merge the top-level keys of `fields` into the stored JSON record; True when a row changed.\n\n"
    "Only the JSON changes: the scope, summary and embedding columns keep the values of\n"
    "the last `add`."};

object Backend_delete(handle self, const Args &a) {
    handle memory_id = a[0];
    require_exact_str(memory_id, "memory_id");
    return changes_a_row(self, Stmt::remove, [&] { return steal_or_raise(PyTuple_Pack(1, memory_id.ptr())); });
}

constinit Method def::delete_{
    {"delete", true, {req("memory_id")}}, Backend_delete,
    "Delete the record; True when a row was deleted."};

}  // namespace vk::vault
