// Multi-row operations: vector_search, all_records, stats, clear, and the
// refused convert_storage_format.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "vector_vault/vault.hpp"

namespace vk::vault {

namespace {

void check_scope_args(const Args &a, std::size_t first) {
    require_exact_str_or_none(a.or_none(first), "tenant_id");
    require_exact_str_or_none(a.or_none(first + 1), "user_id");
    require_exact_str_or_none(a.or_none(first + 2), "session_id");
}

// `(record, score) = row`, with the interpreter's unpacking messages.
void unpack_pair(handle row, object &first, object &second) {
    object items = steal_or_raise(PySequence_Tuple(row.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n != 2) {
        if (n < 2)
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    first = nb::borrow(PyTuple_GET_ITEM(items.ptr(), 0));
    second = nb::borrow(PyTuple_GET_ITEM(items.ptr(), 1));
}

object shallow_copy(handle record) {
    if (PyDict_CheckExact(record.ptr())) return steal_or_raise(PyDict_Copy(record.ptr()));
    return call(handle(reinterpret_cast<PyObject *>(&PyDict_Type)), record);
}

object fetch_rows(handle self, Stmt family, handle tenant, handle user, handle session, bool all_rows) {
    object params = steal_or_raise(PyList_New(0));
    unsigned mask = scope_of(tenant, user, session, params);
    return with_conn(self, [&](handle conn) {
        object sql = statement(get_attr(self, names._table), family, mask);
        object cursor = call_method(conn, names.execute, sql, params);
        return all_rows ? call_method(cursor, names.fetchall) : call_method(cursor, names.fetchone);
    });
}

}  // namespace

object Backend_vector_search(handle self, const Args &a) {
    object top_k = to_int_arg(a[1], "top_k");
    double threshold = to_double(a[2]);
    handle query = a[0];
    require_exact_list(query, "query_embedding");
    check_scope_args(a, 3);
    handle allowed = a.or_none(6);
    require_exact_set_or_none(allowed, "allowed_ids");

    // Nothing can match: answered without the database (and without the lock).
    if (PyList_GET_SIZE(query.ptr()) == 0) return steal_or_raise(PyList_New(0));
    object scope_params = steal_or_raise(PyList_New(0));
    Stmt family = Stmt::search_scope;
    unsigned mask = 0;
    if (!allowed.is_none()) {
        if (PySet_GET_SIZE(allowed.ptr()) == 0) return steal_or_raise(PyList_New(0));
        // An explicit identifier set replaces the tenant/user/session scope.
        object ids = steal_or_raise(PySequence_List(allowed.ptr()));
        check(PyList_Append(scope_params.ptr(), ids.ptr()));
        family = Stmt::search_ids;
    } else {
        mask = scope_of(a.or_none(3), a.or_none(4), a.or_none(5), scope_params);
    }
    object query_vec = call(global(names.Vector), query);
    auto search_params = [&](bool exact) {
        object params = steal_or_raise(PyList_New(0));
        check(PyList_Append(params.ptr(), query_vec.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(scope_params.ptr()); ++i)
            check(PyList_Append(params.ptr(), PyList_GET_ITEM(scope_params.ptr(), i)));
        if (!exact) check(PyList_Append(params.ptr(), query_vec.ptr()));
        check(PyList_Append(params.ptr(), top_k.ptr()));
        return params;
    };
    // A scope small enough is ranked exactly; a larger one, and the whole
    // table, through the hnsw index.
    bool scoped = PyList_GET_SIZE(scope_params.ptr()) != 0;
    object table = get_attr(self, names._table);
    object sql = statement(table, family, mask);
    object count_sql = scoped ? statement(table, Stmt::search_count, mask) : object();
    object exact_sql = scoped ? statement(table, Stmt::search_exact, mask) : object();

    object rows = with_conn(self, [&](handle conn) {
        if (scoped) {
            object small = call_method(call_method(conn, names.execute, count_sql, scope_params), names.fetchone);
            if (!small.is_none() && truthy(steal_or_raise(PySequence_GetItem(small.ptr(), 0))))
                return call_method(call_method(conn, names.execute, exact_sql, search_params(true)), names.fetchall);
        }
        return call_method(call_method(conn, names.execute, sql, search_params(false)), names.fetchall);
    });

    // Filtering happens after the lock is released. The threshold is applied
    // to the top_k rows received, in their order; every row is tested.
    object result = steal_or_raise(PyList_New(0));
    if (!rows.is_valid()) return result;
    for_each(rows, [&](handle row) {
        object record, score;
        unpack_pair(row, record, score);
        object score_f = steal_or_raise(PyNumber_Float(score.ptr()));
        if (!(PyFloat_AS_DOUBLE(score_f.ptr()) >= threshold)) return;  // NaN never passes
        object item = shallow_copy(record);
        check(PyObject_SetItem(item.ptr(), names.score.ptr(), score_f.ptr()));
        check(PyObject_SetItem(item.ptr(), names.method.ptr(), names.embedding.ptr()));
        check(PyList_Append(result.ptr(), item.ptr()));
    });
    return result;
}

constinit Method def::vector_search{
    {"vector_search", true, {req("query_embedding"), kw_req("top_k"), kw_req("threshold"), kw_opt("tenant_id"), kw_opt("user_id"), kw_opt("session_id"), kw_opt("allowed_ids")}}, Backend_vector_search,
    "The top_k stored records nearest to the query by cosine distance, best first, among\n"
    "those scoring at least `threshold`.\n\n"
    "Each item is a copy of the record with \"score\" (cosine similarity) and \"method\"\n"
    "(\"embedding\") set. The rows are narrowed by tenant, user and session, or instead\n"
    "by the set `allowed_ids`."};

object Backend_all_records(handle self, const Args &a) {
    check_scope_args(a, 0);
    object rows = fetch_rows(self, Stmt::list_scope, a.or_none(0), a.or_none(1), a.or_none(2), true);
    object result = steal_or_raise(PyList_New(0));
    if (!rows.is_valid()) return result;
    for_each(rows, [&](handle row) {
        object record = steal_or_raise(PySequence_GetItem(row.ptr(), 0));
        check(PyList_Append(result.ptr(), record.ptr()));
    });
    return result;
}

constinit Method def::all_records{
    {"all_records", true, {kw_opt("tenant_id"), kw_opt("user_id"), kw_opt("session_id")}}, Backend_all_records,
    "Every stored record of the scope, as a list (in no particular order)."};

object Backend_stats(handle self, const Args &a) {
    check_scope_args(a, 0);
    object row = fetch_rows(self, Stmt::count_scope, a.or_none(0), a.or_none(1), a.or_none(2), false);
    object count = make_int(0);
    if (row.is_valid()) {
        object first = steal_or_raise(PyObject_GetItem(row.ptr(), make_int(0).ptr()));
        count = steal_or_raise(PyNumber_Long(first.ptr()));
    }
    object result = steal_or_raise(PyDict_New());
    check(PyDict_SetItem(result.ptr(), names.count.ptr(), count.ptr()));
    return result;
}

constinit Method def::stats{
    {"stats", true, {kw_opt("tenant_id"), kw_opt("user_id"), kw_opt("session_id")}}, Backend_stats,
    "{\"count\": number of stored records of the scope}."};

object Backend_clear(handle self, const Args &a) {
    check_scope_args(a, 0);
    object params = steal_or_raise(PyList_New(0));
    unsigned mask = scope_of(a.or_none(0), a.or_none(1), a.or_none(2), params);
    with_conn(self, [&](handle conn) {
        object sql = statement(get_attr(self, names._table), Stmt::clear_scope, mask);
        call_method(conn, names.execute, sql, params);
        return nb::none();
    });
    return nb::none();
}

constinit Method def::clear{
    {"clear", true, {opt("tenant_id"), opt("user_id"), opt("session_id")}}, Backend_clear,
    "Delete every record of the scope (all records when no identifier is given)."};

object Backend_convert_storage_format(handle, const Args &a) {
    require_exact_str(a[0], "new_format");
    require_exact_str_or_none(a.or_none(1), "new_file");
    raise_format(PyExc_NotImplementedError,
                 "convert_storage_format is a flat-file operation; the Vector vault has no on-disk format to convert.");
}

constinit Method def::convert_storage_format{
    {"convert_storage_format", true, {req("new_format"), opt("new_file")}}, Backend_convert_storage_format,
    "Always raises NotImplementedError: records live in the database, not in a file."};

}  // namespace vk::vault
