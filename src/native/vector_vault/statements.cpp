// The statement texts of the record, search, listing and maintenance
// operations, with the table name spliced in, and the scope clauses.
//
// Texts are built once per table name and kept: the driver recognises a
// repeated statement by its text, and no operation pays for building it again.
#include "vector_vault/vault.hpp"

#include <string>

namespace vk::vault {

namespace {

constexpr Py_ssize_t MAX_CACHED_TABLES = 64;

const char *const SCOPE_CLAUSES[] = {"tenant_id = %s", "user_id = %s", "session_id = %s"};

// " AND "-joined scope clauses of `mask`, each preceded by " AND " when `lead` is set.
std::string clauses(unsigned mask, bool lead) {
    std::string out;
    for (unsigned i = 0; i < 3; ++i) {
        if (!(mask & (1u << i))) continue;
        if (lead || !out.empty()) out += " AND ";
        out += SCOPE_CLAUSES[i];
    }
    return out;
}

std::string where(unsigned mask) {
    std::string c = clauses(mask, false);
    return c.empty() ? c : " WHERE " + c;
}

object text(const std::string &s) {
    return steal_or_raise(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

object build(handle table, Stmt which, unsigned mask) {
    std::string head, tail;
    switch (which) {
    case Stmt::insert:
        head = "INSERT INTO ";
        tail = "(id, tenant_id, user_id, session_id, summary, record, embedding)\n"
               "VALUES (%s, %s, %s, %s, %s, %s, %s)\n"
               "ON CONFLICT (id) DO UPDATE\n"
               "SET tenant_id = EXCLUDED.tenant_id,\n"
               "    user_id = EXCLUDED.user_id,\n"
               "    session_id = EXCLUDED.session_id,\n"
               "    summary = EXCLUDED.summary,\n"
               "    record = EXCLUDED.record,\n"
               "    embedding = EXCLUDED.embedding";
        break;
    case Stmt::get:
        head = "SELECT record FROM ";
        tail = " WHERE id = %s";
        break;
    case Stmt::update:
        head = "UPDATE ";
        tail = " SET record = record || %s::jsonb WHERE id = %s";
        break;
    case Stmt::remove:
        head = "DELETE FROM ";
        tail = " WHERE id = %s";
        break;
    case Stmt::search_ids:
        head = "SELECT record, 1 - (embedding <=> %s) AS score FROM ";
        tail = " WHERE embedding IS NOT NULL AND id = ANY(%s) ORDER BY embedding <=> %s LIMIT %s";
        break;
    default: {
        unsigned family = static_cast<unsigned>(which);
        if (family >= static_cast<unsigned>(Stmt::clear_scope)) {
            head = "DELETE FROM ";
            tail = where(mask);
        } else if (family >= static_cast<unsigned>(Stmt::count_scope)) {
            head = "SELECT count(*) FROM ";
            tail = where(mask);
        } else if (family >= static_cast<unsigned>(Stmt::list_scope)) {
            head = "SELECT record FROM ";
            tail = where(mask);
        } else {
            head = "SELECT record, 1 - (embedding <=> %s) AS score FROM ";
            tail = " WHERE embedding IS NOT NULL" + clauses(mask, true) + " ORDER BY embedding <=> %s LIMIT %s";
        }
        break;
    }
    }
    // A table attribute replaced by something else than a str is spliced as
    // an f-string would: through format().
    object name = PyUnicode_CheckExact(table.ptr())
                      ? nb::borrow(table)
                      : steal_or_raise(PyObject_Format(table.ptr(), names.empty.ptr()));
    object left = steal_or_raise(PyUnicode_Concat(text(head).ptr(), name.ptr()));
    return steal_or_raise(PyUnicode_Concat(left.ptr(), text(tail).ptr()));
}

}  // namespace

object statement(handle table, Stmt which, unsigned mask) {
    unsigned slot = static_cast<unsigned>(which) + mask;
    if (!PyUnicode_CheckExact(table.ptr())) return build(table, which, mask);
    handle cache = state.statements;
    handle entry = dict_get(cache, table);
    if (!entry.is_valid()) {
        // Bounded: an application uses a handful of tables.
        if (PyDict_GET_SIZE(cache.ptr()) >= MAX_CACHED_TABLES) PyDict_Clear(cache.ptr());
        object fresh = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(Stmt::end)));
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(Stmt::end); ++i)
            PyList_SET_ITEM(fresh.ptr(), i, Py_NewRef(Py_None));
        check(PyDict_SetItem(cache.ptr(), table.ptr(), fresh.ptr()));
        entry = fresh;  // kept alive by the cache
    }
    object list = nb::borrow(entry);
    handle known = PyList_GET_ITEM(list.ptr(), slot);
    if (!known.is_none()) return nb::borrow(known);
    object sql = build(table, which, mask);
    check(PyList_SetItem(list.ptr(), slot, Py_NewRef(sql.ptr())));
    return sql;
}

unsigned scope_of(handle tenant_id, handle user_id, handle session_id, handle params) {
    unsigned mask = 0;
    const handle ids[] = {tenant_id, user_id, session_id};
    for (unsigned i = 0; i < 3; ++i) {
        if (ids[i].is_none()) continue;
        mask |= 1u << i;
        check(PyList_Append(params.ptr(), ids[i].ptr()));
    }
    return mask;
}

}  // namespace vk::vault
