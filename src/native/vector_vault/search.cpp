// Multi-row operations: vector_search, all_records, stats, clear, and the
// refused convert_storage_format.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/context.hpp"
#include "common/errors.hpp"
#include "vector_vault/vault.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <utility>
#include <vector>
#include <initializer_list>

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

// The rows a search may return: the scope of the three identifiers (its mask
// and values), or instead an explicit identifier set (its members as one value).
struct SearchScope {
    object params;
    unsigned mask = 0;
    bool ids = false;
    bool scoped() const { return ids || mask != 0; }
};

// Returns false when the identifier set is empty: nothing can match.
bool search_scope(const Args &a, std::size_t first, handle allowed, SearchScope &out) {
    out.params = steal_or_raise(PyList_New(0));
    if (allowed.is_none()) {
        out.mask = scope_of(a.or_none(first), a.or_none(first + 1), a.or_none(first + 2), out.params);
        return true;
    }
    if (PySet_GET_SIZE(allowed.ptr()) == 0) return false;
    // An explicit identifier set replaces the tenant/user/session scope.
    object ids = steal_or_raise(PySequence_List(allowed.ptr()));
    check(PyList_Append(out.params.ptr(), ids.ptr()));
    out.ids = true;
    return true;
}

void append_all(handle list, handle items) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
        check(PyList_Append(list.ptr(), PyList_GET_ITEM(items.ptr(), i)));
}

object new_list(std::initializer_list<handle> items) {
    object list = steal_or_raise(PyList_New(0));
    for (handle item : items) check(PyList_Append(list.ptr(), item.ptr()));
    return list;
}

object fetch_all(handle conn, handle sql, handle params) {
    return call_method(call_method(conn, names.execute, sql, params), names.fetchall);
}

// Whether a scope is small enough to be ranked exactly (see statements.cpp).
bool scope_is_small(handle conn, handle table, const SearchScope &scope) {
    object params = new_list({});
    append_all(params, scope.params);
    append_all(params, scope.params);
    object sql = statement(table, Stmt::search_count, scope.ids ? 0 : scope.mask);
    object row = call_method(call_method(conn, names.execute, sql, params), names.fetchone);
    return !row.is_none() && truthy(steal_or_raise(PySequence_GetItem(row.ptr(), 0)));
}

// Result items from (record, score) rows: copies with "score" and "method"
// set, those scoring below `threshold` left out (NaN never passes).
object result_items(handle rows, double threshold, handle method) {
    object result = steal_or_raise(PyList_New(0));
    if (!rows.is_valid()) return result;
    for_each(rows, [&](handle row) {
        object record, score;
        unpack_pair(row, record, score);
        object score_f = steal_or_raise(PyNumber_Float(score.ptr()));
        if (!(PyFloat_AS_DOUBLE(score_f.ptr()) >= threshold)) return;
        object item = shallow_copy(record);
        check(PyObject_SetItem(item.ptr(), names.score.ptr(), score_f.ptr()));
        check(PyObject_SetItem(item.ptr(), names.method.ptr(), method.ptr()));
        check(PyList_Append(result.ptr(), item.ptr()));
    });
    return result;
}

// A text search configuration goes into the statement text (the text index
// is an expression index, which a query uses only when its expression names
// the same configuration), so only plain lower-case identifiers pass.
void check_text_search_config(handle config) {
    require_exact_str(config, "text_search_config");
    Py_ssize_t n = PyUnicode_GET_LENGTH(config.ptr());
    bool ok = n > 0 && n <= 63;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(config.ptr(), i);
        ok = (c >= 'a' && c <= 'z') || c == '_' || (i > 0 && c >= '0' && c <= '9');
    }
    if (!ok) raise_format(PyExc_ValueError, "Invalid text search configuration %R", config.ptr());
}

// The query text as sent: NUL characters (which the protocol cannot carry)
// become blanks, and only the first MAX_QUERY_CHARS characters are read.
constexpr Py_ssize_t MAX_QUERY_CHARS = 10000;

object query_words(handle text) {
    object out = steal_or_raise(PyUnicode_Substring(text.ptr(), 0, MAX_QUERY_CHARS));
    Py_ssize_t nul_at = PyUnicode_FindChar(out.ptr(), 0, 0, PyUnicode_GET_LENGTH(out.ptr()), 1);
    if (nul_at == -2) raise_pending();
    if (nul_at == -1) return out;
    object nul = steal_or_raise(PyUnicode_FromOrdinal(0));
    object blank = steal_or_raise(PyUnicode_FromOrdinal(' '));
    return steal_or_raise(PyUnicode_Replace(out.ptr(), nul.ptr(), blank.ptr(), -1));
}

// ---------------------------------------------------------------- words too common to rank by
//
// The words that the text index's statistics put above `cap` rows of the
// table, as a text[] literal for the search statement. Read inside that
// statement, the statistics made the planner plan the pg_stats view on every
// call (about 1 ms, a third of a hybrid search at 10,000 rows), so a backend
// reads them with a statement of their own, at most every
// COMMON_WORDS_SECONDS per table and configuration and again after its
// create_text_index, and keeps them in `_common_words`:
// {(table, configuration): [read at (monotonic seconds), rows per word
// (descending), words, {cap: literal}]}. Statistics change only when the table
// is analysed; until the next read a search judges words by the analysis
// before.
constexpr double COMMON_WORDS_SECONDS = 60.0;

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool is_common_words_entry(handle entry) {
    if (!entry.is_valid() || !PyList_CheckExact(entry.ptr()) || PyList_GET_SIZE(entry.ptr()) != 4) return false;
    PyObject *const *item = PySequence_Fast_ITEMS(entry.ptr());
    return PyFloat_CheckExact(item[0]) && PyList_CheckExact(item[1]) && PyList_CheckExact(item[2]) &&
           PyList_GET_SIZE(item[1]) == PyList_GET_SIZE(item[2]) && PyDict_CheckExact(item[3]);
}

object read_common_words(handle conn, handle table, handle config) {
    object sql = statement(table, Stmt::common_words, 0, config);
    object row = call_method(call_method(conn, names.execute, sql), names.fetchone);
    std::vector<std::pair<double, object>> words;
    if (!row.is_none()) {
        double rows = to_double(steal_or_raise(PySequence_GetItem(row.ptr(), 0)));
        object elems = steal_or_raise(PySequence_GetItem(row.ptr(), 1));
        object freqs = steal_or_raise(PySequence_GetItem(row.ptr(), 2));
        if (!elems.is_none() && !freqs.is_none()) {
            // The frequencies list has three more entries (minimum, maximum, nulls) than the words.
            Py_ssize_t n = std::min(check_size(PySequence_Size(elems.ptr())), check_size(PySequence_Size(freqs.ptr())));
            for (Py_ssize_t i = 0; i < n; ++i) {
                object word = steal_or_raise(PySequence_GetItem(elems.ptr(), i));
                double freq = to_double(steal_or_raise(PySequence_GetItem(freqs.ptr(), i)));
                words.emplace_back(freq * rows, std::move(word));
            }
        }
    }
    std::stable_sort(words.begin(), words.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    object rows_list = steal_or_raise(PyList_New(0)), word_list = steal_or_raise(PyList_New(0));
    for (const auto &[rows, word] : words) {
        check(PyList_Append(rows_list.ptr(), make_float(rows).ptr()));
        check(PyList_Append(word_list.ptr(), word.ptr()));
    }
    return new_list({make_float(monotonic_seconds()), rows_list, word_list, steal_or_raise(PyDict_New())});
}

// `{"w1","w2",...}`: the words of `entry` found in more than `cap` rows.
object common_words_literal(handle entry, Py_ssize_t cap) {
    handle rows = PyList_GET_ITEM(entry.ptr(), 1), words = PyList_GET_ITEM(entry.ptr(), 2);
    std::string literal = "{";
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.ptr()); ++i) {
        double found = PyFloat_AsDouble(PyList_GET_ITEM(rows.ptr(), i));
        if (found == -1.0 && PyErr_Occurred()) raise_pending();
        if (!(found > static_cast<double>(cap))) break;
        Py_ssize_t n = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(words.ptr(), i), &n);
        if (utf8 == nullptr) raise_pending();
        literal += literal.size() > 1 ? ",\"" : "\"";
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (utf8[j] == '"' || utf8[j] == '\\') literal += '\\';
            literal += utf8[j];
        }
        literal += '"';
    }
    literal += '}';
    return steal_or_raise(PyUnicode_FromStringAndSize(literal.data(), static_cast<Py_ssize_t>(literal.size())));
}

object common_words(handle self, handle conn, handle table, handle config, Py_ssize_t cap) {
    object cache = get_optional_attr(self, names._common_words);
    if (!cache.is_valid() || !PyDict_CheckExact(cache.ptr())) {
        cache = steal_or_raise(PyDict_New());
        set_attr(self, names._common_words, cache);
    }
    object key = steal_or_raise(PyTuple_Pack(2, table.ptr(), config.ptr()));
    object entry = nb::borrow(dict_get(cache, key));
    if (!is_common_words_entry(entry) ||
        !(monotonic_seconds() - PyFloat_AS_DOUBLE(PyList_GET_ITEM(entry.ptr(), 0)) < COMMON_WORDS_SECONDS)) {
        entry = read_common_words(conn, table, config);
        check(PyDict_SetItem(cache.ptr(), key.ptr(), entry.ptr()));
    }
    handle by_cap = PyList_GET_ITEM(entry.ptr(), 3);
    object cap_key = make_int(cap);
    handle known = dict_get(by_cap, cap_key);
    if (known.is_valid()) return nb::borrow(known);
    if (PyDict_GET_SIZE(by_cap.ptr()) >= 16) PyDict_Clear(by_cap.ptr());  // a few top_k values in practice
    object literal = common_words_literal(entry, cap);
    check(PyDict_SetItem(by_cap.ptr(), cap_key.ptr(), literal.ptr()));
    return literal;
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
    SearchScope scope;
    if (!search_scope(a, 3, allowed, scope)) return steal_or_raise(PyList_New(0));
    object query_vec = call(global(names.Vector), query);
    object table = get_attr(self, names._table);

    object rows = with_conn(self, [&](handle conn) {
        // A scope small enough is ranked exactly; a larger one, and the whole
        // table, through the hnsw index.
        if (scope.scoped() && scope_is_small(conn, table, scope)) {
            object params = new_list({query_vec});
            append_all(params, scope.params);
            check(PyList_Append(params.ptr(), top_k.ptr()));
            return fetch_all(conn, statement(table, Stmt::search_exact, scope.ids ? 0 : scope.mask), params);
        }
        object params = new_list({query_vec});
        append_all(params, scope.params);
        check(PyList_Append(params.ptr(), query_vec.ptr()));
        check(PyList_Append(params.ptr(), top_k.ptr()));
        return fetch_all(conn, statement(table, scope.ids ? Stmt::search_ids : Stmt::search_scope, scope.mask), params);
    });
    // Filtering happens after the lock is released. The threshold is applied
    // to the top_k rows received, in their order; every row is tested.
    return result_items(rows, threshold, names.embedding);
}

object Backend_hybrid_search(handle self, const Args &a) {
    object top_k = to_int_arg(a[2], "top_k");
    handle text = a[0];
    require_exact_str(text, "query_text");
    handle query = a[1];
    require_exact_list(query, "query_embedding");
    check_scope_args(a, 3);
    handle allowed = a.or_none(6);
    require_exact_set_or_none(allowed, "allowed_ids");
    handle config = a.get(7, names.simple);
    check_text_search_config(config);

    // Without an embedding the text ranking answers alone; without words
    // (known here only for the empty text) the cosine ranking does.
    bool by_vector = PyList_GET_SIZE(query.ptr()) != 0;
    if (!by_vector && PyUnicode_GET_LENGTH(text.ptr()) == 0) return steal_or_raise(PyList_New(0));
    SearchScope scope;
    if (!search_scope(a, 3, allowed, scope)) return steal_or_raise(PyList_New(0));
    object query_vec = by_vector ? call(global(names.Vector), query) : object();
    object table = get_attr(self, names._table);
    // Candidates per ranking (see statements.cpp); a word found in more than
    // four lists' worth of rows of the scope is too common to rank by, which
    // bounds each word's look-up to that many rows.
    Py_ssize_t depth = hybrid_depth(clamp_to_ssize(top_k, 0, 1000000));
    object params = steal_or_raise(PyDict_New());
    auto put = [&](handle key, handle value) { check(PyDict_SetItem(params.ptr(), key.ptr(), value.ptr())); };
    put(names.text, query_words(text));
    put(names.top_k, top_k);
    if (by_vector) put(names.query, query_vec);
    if (scope.ids) {
        put(names.ids, PyList_GET_ITEM(scope.params.ptr(), 0));
    } else {
        const handle columns[] = {names.tenant_id, names.user_id, names.session_id};
        Py_ssize_t next = 0;
        for (unsigned i = 0; i < 3; ++i)
            if (scope.mask & (1u << i)) put(columns[i], PyList_GET_ITEM(scope.params.ptr(), next++));
    }
    unsigned slot = scope.ids ? SCOPE_IDS : scope.mask;

    object rows = with_conn(self, [&](handle conn) {
        put(names.common, common_words(self, conn, table, config, word_cap(depth)));
        Stmt family = Stmt::hybrid_text;
        if (by_vector)
            family = scope.scoped() && scope_is_small(conn, table, scope) ? Stmt::hybrid_exact : Stmt::hybrid_index;
        return fetch_all(conn, statement(table, family, slot, config, depth), params);
    });
    return result_items(rows, -HUGE_VAL, names.hybrid);
}

object Backend_create_text_index(handle self, const Args &a) {
    handle config = a.get(0, names.simple);
    check_text_search_config(config);
    object table = get_attr(self, names._table);
    object index = steal_or_raise(PyUnicode_FromFormat("%S_text_%U", table.ptr(), config.ptr()));
    object check_sql = make_str("SELECT NOT indisvalid FROM pg_index WHERE indexrelid = to_regclass(%s)");
    object drop_sql = steal_or_raise(PyUnicode_FromFormat("DROP INDEX CONCURRENTLY IF EXISTS %U", index.ptr()));
    object create_sql = steal_or_raise(PyUnicode_FromFormat(
        "CREATE INDEX CONCURRENTLY IF NOT EXISTS %U ON %S USING gin (to_tsvector('%U', summary))", index.ptr(),
        table.ptr(), config.ptr()));
    object analyze_sql = steal_or_raise(PyUnicode_FromFormat("ANALYZE %S", table.ptr()));
    // A connection of its own: the build takes as long as the table is big,
    // and the backend's connection (with its lock) stays free for the
    // operations of other threads meanwhile.
    object connect_fn = get_attr(global(names.psycopg), names.connect);
    object conn = call_kw(connect_fn, {get_attr(self, names._dsn)}, {{names.autocommit, handle(Py_True)}});
    with_context(conn, [&](handle c) {
        // A concurrent build that was interrupted leaves an invalid index
        // behind, which IF NOT EXISTS would keep for good: it is rebuilt.
        object row = call_method(call_method(c, names.execute, check_sql, new_list({index})), names.fetchone);
        if (!row.is_none() && truthy(steal_or_raise(PySequence_GetItem(row.ptr(), 0))))
            call_method(c, names.execute, drop_sql);
        call_method(c, names.execute, create_sql);
        // The statistics of the indexed expression tell the search which
        // words are too common to look up; this backend reads them anew.
        call_method(c, names.execute, analyze_sql);
    });
    object cache = get_optional_attr(self, names._common_words);
    if (cache.is_valid() && PyDict_CheckExact(cache.ptr())) PyDict_Clear(cache.ptr());
    return nb::none();
}

constinit Method def::hybrid_search{
    {"hybrid_search", true,
     {req("query_text"), req("query_embedding"), kw_req("top_k"), kw_opt("tenant_id"), kw_opt("user_id"),
      kw_opt("session_id"), kw_opt("allowed_ids"), kw_opt("text_search_config", "'simple'")}},
    Backend_hybrid_search,
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
    "for vector_search. Fast on large tables once create_text_index() has run; the\n"
    "index's statistics (read at most once a minute) name the words too common to\n"
    "look up."};

constinit Method def::create_text_index{
    {"create_text_index", true, {opt("text_search_config", "'simple'")}}, Backend_create_text_index,
    "Create the full-text index that hybrid_search uses with this configuration, if missing.\n\n"
    "Built with CREATE INDEX CONCURRENTLY on a connection of its own, so writers are\n"
    "not blocked; an invalid index left by an interrupted build is rebuilt. The\n"
    "table is analysed afterwards. Safe to call again: an existing index is kept."};

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
