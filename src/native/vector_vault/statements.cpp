// The statement texts of the record, search, listing and maintenance
// operations, with the table name spliced in, and the scope clauses.
//
// Texts are built once per table name and kept: the driver recognises a
// repeated statement by its text, and no operation pays for building it again.
#include "vector_vault/vault.hpp"

#include <string>
#include <vector>

namespace vk::vault {

namespace {

constexpr Py_ssize_t MAX_CACHED_TABLES = 64;

// The scope columns, in the order of the mask's bits.
const char *const SCOPE_COLUMNS[] = {"tenant_id", "user_id", "session_id"};

// " AND "-joined scope clauses of `mask`, each preceded by " AND " when `lead` is set.
std::string clauses(unsigned mask, bool lead) {
    std::string out;
    for (unsigned i = 0; i < 3; ++i) {
        if (!(mask & (1u << i))) continue;
        if (lead || !out.empty()) out += " AND ";
        out += std::string(SCOPE_COLUMNS[i]) + " = %s";
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

// A scoped search ranks its scope exactly (every row, no index walk) while the
// scope has fewer rows than a bound, and walks the hnsw graph otherwise: a
// walk that filters as it goes misses true neighbours of mid-sized scopes (a
// third of them for a 1.5% scope of 100,000 rows). Exact ranking costs one
// distance per row; the walk costs what about EXACT_FLOOR rows cost, growing
// with table rows / scope rows once the scope is too selective for its search
// breadth, so the two meet near EXACT_PER_ROOT * sqrt(table rows) (measured on
// 384-wide embeddings at 10,000 and 100,000 rows). Table rows: the planner's
// count, none before the first analyse. The count has a statement of its own:
// one statement holding both plans would have the planner cost the exact
// ranking of large scopes (a sequential scan), enough for JIT compilation.
constexpr const char *EXACT_FLOOR = "5000";
constexpr const char *EXACT_PER_ROOT = "20";

// Counting up to the bound visits a heap page per row until the table has
// been vacuumed (11 ms for a 40% scope of 100,000 rows right after a load),
// so a scope whose size the column statistics put at SURELY_LARGE bounds or
// more is not counted: it is large. The estimate multiplies the columns'
// selectivities, as the planner does; a scope without statistics for one of
// its columns, or estimated below that, is counted, so small scopes are
// always ranked exactly unless the statistics overstate them fourfold (a
// tenant deleted since the last analyse). An identifier set is small when it
// has fewer members than the bound, whatever the statistics say.
constexpr const char *SURELY_LARGE = "4";

// The clauses of a search family member: mask 0 of the counted and exact
// families stands for the identifier set (an unscoped search is never counted).
std::string search_clauses(unsigned mask) { return mask == 0 ? "id = ANY(%s)" : clauses(mask, false); }

std::string bound_cte() {
    return std::string("WITH bound AS (SELECT greatest(") + EXACT_FLOOR + ", " + EXACT_PER_ROOT +
           " * sqrt(greatest(reltuples, 0)))::bigint AS n, greatest(reltuples, 0) AS total FROM pg_class WHERE oid = '";
}

// The estimated rows of a scope (the mask's columns), NULL without statistics.
std::string scope_guess(unsigned mask) {
    std::string values;
    unsigned columns = 0;
    for (unsigned i = 0; i < 3; ++i) {
        if (!(mask & (1u << i))) continue;
        values += std::string(columns ? ", " : "") + "('" + SCOPE_COLUMNS[i] + "', %s::text)";
        ++columns;
    }
    return ", guess AS (SELECT CASE WHEN count(*) = " + std::to_string(columns) +
           " THEN (SELECT total FROM bound) * exp(sum(ln(greatest(sel, 1e-9)))) END AS n FROM ("
           "SELECT coalesce(s.most_common_freqs[array_position(s.most_common_vals::text::text[], v.val)], "
           "(1 - s.null_frac - coalesce((SELECT sum(f) FROM unnest(s.most_common_freqs) f), 0)) / greatest(1, "
           "CASE WHEN s.n_distinct < 0 THEN -s.n_distinct * (SELECT total FROM bound) ELSE s.n_distinct END "
           "- coalesce(cardinality(s.most_common_freqs), 0))) AS sel FROM (VALUES " + values +
           ") v(col, val) JOIN pg_stats s ON s.attname = v.col WHERE s.schemaname = current_schema() "
           "AND s.tablename = '";
}

// Pieces of the statement; the table name goes between consecutive pieces.
std::vector<std::string> scope_is_small(unsigned mask) {
    std::string count = "(SELECT count(*) < (SELECT n FROM bound) FROM (SELECT FROM ";
    std::string counted = " WHERE " + search_clauses(mask) + " LIMIT (SELECT n FROM bound)) c)";
    if (mask == 0)
        return {bound_cte(), "'::regclass) SELECT cardinality(%s::text[]) < (SELECT n FROM bound) OR " + count,
                counted};
    return {bound_cte(), "'::regclass)" + scope_guess(mask),
            "' AND NOT s.inherited) e) SELECT CASE WHEN (SELECT n FROM guess) >= " + std::string(SURELY_LARGE) +
                " * (SELECT n FROM bound) THEN false ELSE " + count,
            counted + " END"};
}

// The ordering is over a subquery's output, which no index can serve: every
// row of the scope is ranked, its distance computed once. Ordering by the
// distance (not by the score, descending) keeps the rows whose distance is
// not a number (zero vectors) last, as the index-ordered statement does.
std::vector<std::string> exact_search(const std::string &scope) {
    return {"SELECT record, 1 - d AS score FROM (SELECT record, embedding <=> %s AS d FROM ",
            " WHERE embedding IS NOT NULL AND " + scope + " OFFSET 0) ranked ORDER BY d LIMIT %s"};
}


// ---------------------------------------------------------------- hybrid search
//
// One statement ranks the scope twice and fuses the rankings by reciprocal
// rank: score = 1 / (RRF_K + cosine rank) + 1 / (RRF_K + text rank). RRF_K is
// 20, not the 60 tuned for lists a thousand deep: with lists of a few dozen
// candidates, 60 flattens the top of each list until a row placed fairly in
// both beats the first row of one, and on the labelled set of
// benchmarks/bench_hybrid_search.py hybrid search then lost half the answers
// of name-and-topic queries that the word ranking alone finds (recall@10 0.48
// against 0.91); at 20 it finds them all, and names-only and topic-only
// queries lose nothing.
//
// The text ranking: the query text's distinct words (the lexemes of
// to_tsvector under the configuration, in order of appearance, at most
// MAX_QUERY_WORDS) each looked up on their own, so that no input can be
// tsquery syntax and a long question still matches a row that shares a few
// of its words. A word found in more than `cap` rows of the scope is too
// common to rank by (the, we, what...) and is dropped; the others weigh
// ln((cap + 1) / rows found), an inverse document frequency, and a row scores
// the sum of its words' weights. Words that the text index's statistics put
// above `cap` rows of the table arrive as a parameter (an array literal; see
// search.cpp) and are dropped before any look-up, so a stop word costs
// nothing. With the index each look-up reads only index entries and the rows
// they name; without it each is a scan of the scope. A scoped look-up reads
// the word's rows first and narrows them afterwards: the OFFSET 0 keeps the
// planner from pairing the text index with the scope index, whose bitmap
// for a 40% tenant of 100,000 rows took 3 ms to build for a word found in
// 16 rows.
//
// Both candidate lists hold `depth` rows; the caller passes RRF_K + 2 * top_k,
// where a rank's share, 1 / (RRF_K + depth), has fallen to half the share of
// rank top_k: further down RRF's flat tail a list tells the rows apart by
// less than the other list does. A row missing from one list counts as
// ranked just below it (depth + 1), the best it could be: so no row outside
// both lists could have entered the result, and rows whose words tie (every
// summary that names the same ticket) are told apart by the cosine order.
// Equal fused scores go to the better word rank first (a row found by words
// alone before one found by meaning alone: a word match is the more specific
// evidence), then to the cosine order. The ranks are taken over identifiers
// and distances; only the top_k rows chosen are read whole.
//
// The depth and the cap are written into the text: a plan made for any
// values (PostgreSQL's generic plan, which it may keep for a prepared
// statement) must still see the cosine list's LIMIT, or it ranks the whole
// table instead of walking the hnsw index (8 ms instead of 1.5 at 10,000
// rows). The parameters are named, so that each value (the query vector above
// all) is sent once however often the statement uses it: text, common (the
// words too common to look up), query (the embedding), top_k, and the
// scope's tenant_id, user_id, session_id or ids.
constexpr const char *MAX_QUERY_WORDS = "32";

// The scope's conditions, " AND "-joined.
std::string named_scope(unsigned scope) {
    if (scope == SCOPE_IDS) return "id = ANY(%(ids)s)";
    std::string out;
    for (unsigned i = 0; i < 3; ++i)
        if (scope & (1u << i))
            out += std::string(out.empty() ? "" : " AND ") + SCOPE_COLUMNS[i] + " = %(" + SCOPE_COLUMNS[i] + ")s";
    return out;
}

std::vector<std::string> hybrid_search(unsigned scope, Stmt family, const std::string &cfg, Py_ssize_t depth) {
    const std::string k = std::to_string(RRF_K);
    const std::string d = std::to_string(depth), below = std::to_string(depth + 1),
                      cap = std::to_string(word_cap(depth)), cap_1 = std::to_string(word_cap(depth) + 1);
    const std::string and_scope = scope == 0 ? "" : " AND " + named_scope(scope);
    const std::string matches = " WHERE to_tsvector('" + cfg + "'::regconfig, summary) @@ w.q";
    // The rows of the scope whose summary holds the word; the table name goes between the two halves.
    std::string lookup_head = "SELECT id FROM ", lookup_tail = matches;
    if (scope != 0) {
        lookup_head = "SELECT id FROM (SELECT id";
        for (unsigned i = 0; i < 3; ++i)
            if (scope != SCOPE_IDS && (scope & (1u << i))) lookup_head += std::string(", ") + SCOPE_COLUMNS[i];
        lookup_head += " FROM ";
        lookup_tail = matches + " OFFSET 0) f WHERE " + named_scope(scope);
    }
    std::vector<std::string> pieces = {
        "WITH words AS (SELECT w.lexeme, ('''' || replace(replace(w.lexeme, chr(92), chr(92) || chr(92)), "
        "'''', '''''') || '''')::tsquery AS q FROM unnest(to_tsvector('" + cfg + "'::regconfig, %(text)s)) w "
        "ORDER BY w.positions[1], w.lexeme LIMIT " + MAX_QUERY_WORDS + "), "
        "hits AS (SELECT w.lexeme, h.id FROM words w CROSS JOIN LATERAL (" + lookup_head,
        lookup_tail + " LIMIT " + cap_1 + ") h WHERE w.lexeme <> ALL(%(common)s::text[])), "
            "weights AS (SELECT lexeme, ln(" + cap_1 + ".0) - ln(count(*)) AS idf FROM hits "
            "GROUP BY lexeme HAVING count(*) <= " + cap + "), "
            "txt AS (SELECT id, sum(idf) AS s FROM hits JOIN weights USING (lexeme) GROUP BY id "
            "ORDER BY s DESC, id LIMIT " + d + ")",
    };
    if (family == Stmt::hybrid_text) {
        pieces.back() += " SELECT m.record, 1 / (" + k + " + rank() OVER (ORDER BY txt.s DESC)::float8) AS score "
                         "FROM txt JOIN ";
        pieces.push_back(" m USING (id) ORDER BY score DESC, id LIMIT %(top_k)s");
        return pieces;
    }
    // A candidate of the word list alone gets its distance in `pool` (NULL without an embedding).
    const std::string pool = "pool AS MATERIALIZED (SELECT id, coalesce(vec.d, (SELECT m.embedding <=> %(query)s FROM ";
    if (family == Stmt::hybrid_exact) {
        pieces.back() += ", vec AS (SELECT id, d FROM (SELECT id, embedding <=> %(query)s AS d FROM ";
        pieces.push_back(" WHERE embedding IS NOT NULL" + and_scope + " OFFSET 0) e ORDER BY d LIMIT " + d + "), " +
                         pool);
    } else {
        pieces.back() += ", vec AS (SELECT id, embedding <=> %(query)s AS d FROM ";
        pieces.push_back(" WHERE embedding IS NOT NULL" + and_scope +
                         " ORDER BY embedding <=> %(query)s LIMIT " + d + "), " + pool);
    }
    pieces.push_back(" m WHERE m.id = txt.id)) AS d, txt.s FROM vec FULL JOIN txt USING (id)), "
                     "fused AS (SELECT id, d, least(coalesce(CASE WHEN d IS NOT NULL THEN rank() OVER "
                     "(PARTITION BY d IS NULL ORDER BY d) END, " + below + "), " + below + ") AS rv, "
                     "coalesce(CASE WHEN s IS NOT NULL THEN rank() OVER (PARTITION BY s IS NULL ORDER BY s DESC) END, " +
                     below + ") AS rt FROM pool), "
                     "top AS (SELECT id, d, rt, 1 / (" + k + " + rv::float8) + 1 / (" + k + " + rt::float8) AS score "
                     "FROM fused ORDER BY score DESC, rt, d, id LIMIT %(top_k)s) "
                     "SELECT m.record, top.score FROM top JOIN ");
    pieces.push_back(" m USING (id) ORDER BY top.score DESC, top.rt, top.d, top.id");
    return pieces;
}

// The text index's most common words with their frequencies, and the table's
// rows. No parameters: the driver's prepared statement is planned once.
std::vector<std::string> common_words(const std::string &cfg) {
    return {"SELECT greatest(c.reltuples, 0)::float8, s.most_common_elems::text::text[], "
            "s.most_common_elem_freqs::float8[] FROM pg_class c LEFT JOIN pg_stats s "
            "ON s.schemaname = current_schema() AND s.tablename = '",
            "_text_" + cfg + "' AND NOT s.inherited WHERE c.oid = '", "'::regclass"};
}

object build(handle table, Stmt which, unsigned mask, const std::string &config, Py_ssize_t depth) {
    std::string head, tail;
    std::vector<std::string> pieces;
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
        } else if (which == Stmt::common_words) {
            pieces = common_words(config);
        } else if (family >= static_cast<unsigned>(Stmt::hybrid_index)) {
            pieces = hybrid_search(mask, which, config, depth);
        } else if (family >= static_cast<unsigned>(Stmt::search_exact)) {
            pieces = exact_search(search_clauses(mask));
        } else if (family >= static_cast<unsigned>(Stmt::search_count)) {
            pieces = scope_is_small(mask);
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
    if (pieces.empty()) pieces = {head, tail};
    object parts = steal_or_raise(PyList_New(0));
    for (const std::string &piece : pieces) check(PyList_Append(parts.ptr(), text(piece).ptr()));
    return steal_or_raise(PyUnicode_Join(name.ptr(), parts.ptr()));
}

}  // namespace

object statement(handle table, Stmt which, unsigned mask, handle config, Py_ssize_t depth) {
    unsigned slot = static_cast<unsigned>(which) + mask;
    // Statements naming a text search configuration are kept per (table, configuration, depth).
    std::string cfg;
    if (config.is_valid()) {
        const char *utf8 = PyUnicode_AsUTF8(config.ptr());
        if (utf8 == nullptr) raise_pending();
        cfg = utf8;
    }
    if (!PyUnicode_CheckExact(table.ptr())) return build(table, which, mask, cfg, depth);
    handle cache = state.statements;
    object key = nb::borrow(table);
    if (config.is_valid()) key = steal_or_raise(PyTuple_Pack(3, table.ptr(), config.ptr(), make_int(depth).ptr()));
    handle entry = dict_get(cache, key);
    if (!entry.is_valid()) {
        // Bounded: an application uses a handful of tables.
        if (PyDict_GET_SIZE(cache.ptr()) >= MAX_CACHED_TABLES) PyDict_Clear(cache.ptr());
        object fresh = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(Stmt::end)));
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(Stmt::end); ++i)
            PyList_SET_ITEM(fresh.ptr(), i, Py_NewRef(Py_None));
        check(PyDict_SetItem(cache.ptr(), key.ptr(), fresh.ptr()));
        entry = fresh;  // kept alive by the cache
    }
    object list = nb::borrow(entry);
    handle known = PyList_GET_ITEM(list.ptr(), slot);
    if (!known.is_none()) return nb::borrow(known);
    object sql = build(table, which, mask, cfg, depth);
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
