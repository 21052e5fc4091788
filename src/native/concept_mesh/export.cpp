// Export for display: _short and to_dict.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"
#include "concept_mesh/round4.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vk::mesh {

namespace {

/// The first bytes of a memory dict's entries table: the keys a node record
/// reads sit among its first two dozen entries.
constexpr std::size_t MEMORIA_TABLE_BYTES = 512;

/// How many nodes ahead of the one being read the next is asked for.
constexpr Py_ssize_t PREFETCH_AHEAD = 8;

Py_ssize_t int_arg(handle value, const char *name) {
    object v = to_int_arg(value, name);
    return clamp_to_ssize(v, PY_SSIZE_T_MIN, PY_SSIZE_T_MAX);
}

object short_text(handle text, Py_ssize_t limit) {
    require_exact_str(text, "text");
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (limit <= 0 || length <= limit) return nb::borrow(text);
    object head = steal_or_raise(PyUnicode_Substring(text.ptr(), 0, limit - 1));
    return steal_or_raise(PyUnicode_Concat(head.ptr(), names.ellipsis.ptr()));
}

/// `(memoria.get("source") or {}).get(key)`; the source is looked up afresh
/// for every key.
object source_field(handle memoria, handle key) {
    object source = get_or_none(memoria, names.source);
    if (!truthy(source)) return nb::none();
    return get_or_none(source, key);
}

object sorted_list(handle iterable) {
    object list = steal_or_raise(PySequence_List(iterable.ptr()));
    check(PyList_Sort(list.ptr()));
    return list;
}

/// The first `count` nodes of `sorted(nodes, key=lambda n: n.centrality,
/// reverse=True)`: most central first, ties in first-seen order.
object top_nodes(handle node_list, Py_ssize_t count) {
    std::vector<object> scores;
    scores.reserve(static_cast<std::size_t>(PyList_GET_SIZE(node_list.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_list.ptr()); ++i) {
        // The nodes are scattered through memory: each is asked for a few reads ahead.
        if (i + PREFETCH_AHEAD < PyList_GET_SIZE(node_list.ptr()))
            prefetch_range(PyList_GET_ITEM(node_list.ptr(), i + PREFETCH_AHEAD), 2 * CACHE_LINE);
        scores.push_back(get_attr(handle(PyList_GET_ITEM(node_list.ptr(), i)), names.centrality));
    }
    std::vector<Py_ssize_t> order = rank_descending(scores, count);
    object top = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i)
        PyList_SET_ITEM(top.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(PyList_GET_ITEM(node_list.ptr(), order[i])));
    return top;
}

/// An edge between two kept nodes.
struct KeptEdge {
    object key, edge;
    PyObject *a, *b;  // the key's items, alive with the key (or `items`)
    std::int32_t ia, ib;  // kept-node slots of the endpoints
    object weight;
    double w = 0.0;
    bool plain = false;  // float weight (not NaN) and a key of two str: ordered in C++
    bool nominated = false;
    object items;
};

/// Reads the record's weight (any object) and notes whether the edge can be
/// ordered in C++: a float weight that is not NaN and a key of two str.
void read_weight(KeptEdge &e) {
    e.weight = get_attr(e.edge, names.weight);
    if (PyFloat_CheckExact(e.weight.ptr())) e.w = PyFloat_AS_DOUBLE(e.weight.ptr());
    e.plain = PyFloat_CheckExact(e.weight.ptr()) && !std::isnan(e.w) && PyTuple_CheckExact(e.key.ptr()) &&
              PyTuple_GET_SIZE(e.key.ptr()) == 2 && PyUnicode_CheckExact(e.a) && PyUnicode_CheckExact(e.b);
}

/// Asks for the objects the node records will read (memory dicts and their
/// tables, tag and entity sets, summaries), all at once, so that their loads
/// overlap instead of each record waiting for its own. Only reads: nodes of
/// the mesh's own record type hand out their fields without running code.
void warm_up_records(handle top) {
    auto *node_type = reinterpret_cast<PyTypeObject *>(state.graph_node_type.ptr());
    Py_ssize_t count = PyList_GET_SIZE(top.ptr());
    std::vector<object> memorias;
    memorias.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *node = PyList_GET_ITEM(top.ptr(), i);
        if (Py_TYPE(node) != node_type) continue;
        for (handle name : {names.summary, names.tags, names.entities}) prefetch(get_attr(handle(node), name).ptr());
        memorias.push_back(get_attr(handle(node), names.memoria));
        prefetch(memorias.back().ptr());
    }
    for (const object &m : memorias)
        if (PyDict_CheckExact(m.ptr())) prefetch_dict_entries(m.ptr(), MEMORIA_TABLE_BYTES);
}

/// Membership in the set of kept ids, with set semantics. Session ids are
/// normally the very string objects that the edge keys hold, so identity
/// answers almost every query; other objects go to a dict look-up. Identities
/// are trusted only while no Python code has run since they were recorded.
class KeepIndex {
public:
    KeepIndex(std::size_t kept, std::size_t others)
        : kept_(kept), others_(others), index_(steal_or_raise(PyDict_New())) {}

    /// Slot of a kept id (an equal id kept earlier shares its slot).
    std::int32_t add_kept(handle id, std::int32_t slot) {
        object value = make_int(slot);
        PyObject *found = PyDict_SetDefault(index_.ptr(), id.ptr(), value.ptr());
        if (found == nullptr) raise_pending();
        auto canonical = static_cast<std::int32_t>(PyLong_AsLong(found));
        kept_.put(id.ptr(), canonical);
        held_.push_back(nb::borrow(id));
        return canonical;
    }

    /// An object known to differ from every kept id (borrowed).
    void add_other(PyObject *id) { others_.put(id, NoValue{}); }

    /// The slot of `id` (or -1) by identity; false when identity cannot tell.
    bool find_known(PyObject *id, std::int32_t &slot) const {
        if (!trusted_) return false;
        if (const std::int32_t *known = kept_.find(id)) {
            slot = *known;
            return true;
        }
        slot = -1;
        return others_.contains(id);
    }

    std::int32_t find(handle id) const {
        std::int32_t slot;
        if (find_known(id.ptr(), slot)) return slot;
        handle v = dict_get(index_, id);
        return v.is_valid() ? static_cast<std::int32_t>(PyLong_AsLong(v.ptr())) : -1;
    }

    /// Called before Python code may run.
    void distrust() { trusted_ = false; }

private:
    PointerTable<std::int32_t> kept_;
    PointerSet others_;
    object index_;
    std::vector<object> held_;
    bool trusted_ = true;
};

/// The ids of the nodes that were not kept, recorded as "other" in `keep`:
/// the keys of `nodes`, when every kept node sits under its own session id
/// object (keys of a dict are pairwise unequal, so any other key is no kept id).
void record_others(KeepIndex &keep, handle nodes, handle top, const std::vector<object> &kept_ids) {
    if (!PyDict_CheckExact(nodes.ptr())) return;
    Py_ssize_t count = PyList_GET_SIZE(top.ptr());
    PointerTable<std::int32_t> kept_nodes(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        kept_nodes.put(PyList_GET_ITEM(top.ptr(), i), static_cast<std::int32_t>(i));
    std::vector<PyObject *> others;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(nodes.ptr(), &pos, &key, &value)) {
        if (const std::int32_t *i = kept_nodes.find(value)) {
            if (key != kept_ids[static_cast<std::size_t>(*i)].ptr()) return;
        } else {
            others.push_back(key);
        }
    }
    for (PyObject *id : others) keep.add_other(id);
}

/// One edge in a kept node's list: its weight beside its index, so that
/// ordering the list reads no edge record unless two weights tie.
struct Incident {
    double w;
    std::int32_t e;
};

/// Marks the first `limit` edges of one kept node's list in (-weight, key)
/// order. `plain`: every edge of the list has a float weight (not NaN) and a
/// key of two str.
void nominate(std::vector<KeptEdge> &kept, std::vector<Incident> &incident, std::size_t limit, bool plain) {
    if (incident.size() <= limit) {
        for (const Incident &x : incident) kept[static_cast<std::size_t>(x.e)].nominated = true;
        return;
    }
    if (plain) {
        auto before = [&](const Incident &x, const Incident &y) {
            if (x.w != y.w) return x.w > y.w;
            const KeptEdge &ex = kept[static_cast<std::size_t>(x.e)], &ey = kept[static_cast<std::size_t>(y.e)];
            int c = PyUnicode_Compare(ex.a, ey.a);
            if (c != 0) return c < 0;
            return PyUnicode_Compare(ex.b, ey.b) < 0;
        };
        std::partial_sort(incident.begin(), incident.begin() + static_cast<std::ptrdiff_t>(limit), incident.end(),
                          before);
    } else {
        // Python's own ordering of (-weight, key) pairs, stable on ties.
        auto count = static_cast<Py_ssize_t>(incident.size());
        object items = steal_or_raise(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const KeptEdge &e = kept[static_cast<std::size_t>(incident[static_cast<std::size_t>(i)].e)];
            object neg = steal_or_raise(PyNumber_Negative(e.weight.ptr()));
            object pos = make_int(i);
            PyList_SET_ITEM(items.ptr(), i, steal_or_raise(PyTuple_Pack(3, neg.ptr(), e.key.ptr(), pos.ptr())).release().ptr());
        }
        check(PyList_Sort(items.ptr()));
        std::vector<Incident> sorted(incident.size());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *pos = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 2);
            sorted[static_cast<std::size_t>(i)] = incident[static_cast<std::size_t>(PyLong_AsSsize_t(pos))];
        }
        incident.swap(sorted);
    }
    for (std::size_t i = 0; i < limit; ++i) kept[static_cast<std::size_t>(incident[i].e)].nominated = true;
}

/// A dict of `keys` in order, each None, made once for the life of the
/// process: a copy of it is a record whose table already holds every key, so
/// filling it in the same order never grows the table.
handle record_template(std::initializer_list<handle> keys) {
    object d = steal_or_raise(PyDict_New());
    for (handle key : keys) dict_put(d, key, handle(Py_None));
    return d.release();
}

object new_record(handle tmpl) { return steal_or_raise(PyDict_Copy(tmpl.ptr())); }

object node_record(handle node, handle session_id, Py_ssize_t summary_chars) {
    static handle tmpl = record_template({names.id, names.summary, names.created_at, names.tags, names.entities,
                                          names.density, names.centrality, names.superseded_by, names.valid_until,
                                          names.author, names.origin});
    object summary = short_text(get_attr(node, names.summary), summary_chars);
    object record = new_record(tmpl);
    dict_put(record, names.id, session_id);
    dict_put(record, names.summary, summary);
    dict_put(record, names.created_at, get_attr(node, names.created_at));
    dict_put(record, names.tags, sorted_list(get_attr(node, names.tags)));
    dict_put(record, names.entities, sorted_list(get_attr(node, names.entities)));
    dict_put(record, names.density, round4_object(get_attr(node, names.density)));
    dict_put(record, names.centrality, round4_object(get_attr(node, names.centrality)));
    object memoria = get_attr(node, names.memoria);
    dict_put(record, names.superseded_by, get_or_none(memoria, names.superseded_by));
    dict_put(record, names.valid_until, get_or_none(memoria, names.valid_until));
    dict_put(record, names.author, source_field(memoria, names.author));
    dict_put(record, names.origin, source_field(memoria, names.origin));
    return record;
}

object edge_record(const KeptEdge &e) {
    static handle tmpl = record_template({names.source, names.target, names.weight, names.shared_tags,
                                          names.shared_entities, names.shared_key_points,
                                          names.embedding_similarity});
    object record = new_record(tmpl);
    dict_put(record, names.source, handle(e.a));
    dict_put(record, names.target, handle(e.b));
    dict_put(record, names.weight, round4_object(e.weight));
    dict_put(record, names.shared_tags, get_attr(e.edge, names.shared_tags));
    dict_put(record, names.shared_entities, get_attr(e.edge, names.shared_entities));
    dict_put(record, names.shared_key_points, get_attr(e.edge, names.shared_key_points));
    dict_put(record, names.embedding_similarity, round4_object(get_attr(e.edge, names.embedding_similarity)));
    return record;
}

/// Records an edge of `edges` when both its ids are kept.
void consider(std::vector<KeptEdge> &kept, KeepIndex &keep, handle key, handle edge) {
    keep.distrust();
    object k = nb::borrow(key);
    object ka, kb;
    if (PyTuple_CheckExact(k.ptr()) && PyTuple_GET_SIZE(k.ptr()) == 2) {
        ka = nb::borrow(PyTuple_GET_ITEM(k.ptr(), 0));
        kb = nb::borrow(PyTuple_GET_ITEM(k.ptr(), 1));
    } else {
        ka = steal_or_raise(PySequence_GetItem(k.ptr(), 0));
        kb = steal_or_raise(PySequence_GetItem(k.ptr(), 1));
    }
    std::int32_t ia = keep.find(ka);
    if (ia < 0) return;
    std::int32_t ib = keep.find(kb);
    if (ib < 0) return;
    KeptEdge e{k, nb::borrow(edge), ka.ptr(), kb.ptr(), ia, ib, object()};
    // The record holds the items: a key that is not a tuple may hand out fresh objects.
    e.items = steal_or_raise(PyTuple_Pack(2, ka.ptr(), kb.ptr()));
    kept.push_back(std::move(e));
}

/// The edges of a plain dict `edges` between kept nodes, in its order.
/// Keys are read a chunk at a time so that the loads of the key tuples,
/// scattered through memory, overlap. A key that is a pair of str found by
/// identity is tested without touching a reference count or running Python
/// code; before any other key the rest of the chunk is held, as Python code
/// may then run.
void walk_edge_dict(std::vector<KeptEdge> &kept, KeepIndex &keep, handle edges) {
    constexpr std::size_t CHUNK = 64;
    std::vector<std::pair<PyObject *, PyObject *>> chunk;
    chunk.reserve(CHUNK);
    std::vector<object> held;
    struct Pending {
        PyObject *key, *edge;
        std::int32_t ia, ib;
    };
    std::vector<Pending> pending;
    auto *edge_type = reinterpret_cast<PyTypeObject *>(state.graph_edge_type.ptr());
    // Weights are read during the walk only while the record class reads
    // `weight` from the instance: a descriptor or a replaced look-up put on
    // the class runs code that may change `edges` under the walk.
    const bool plain_records = plain_attribute(state.graph_edge_type, names.weight);
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    bool more = true;
    while (more) {
        chunk.clear();
        while (chunk.size() < CHUNK && (more = PyDict_Next(edges.ptr(), &pos, &key, &value)) != 0) {
            prefetch(key);
            chunk.emplace_back(key, value);
        }
        // Kept edges of the chunk are taken (their reference counts
        // touched) once their records have had time to arrive.
        pending.clear();
        // The weight of a plain edge record is read while the record is
        // at hand (reading it runs no Python code); others wait for the
        // pass after the walk.
        // Every pending edge is held before the first weight is read: a
        // record's attribute look-up can still run code (an odd key in its
        // __dict__) that drops entries of `edges`.
        auto take_pending = [&] {
            std::size_t first = kept.size();
            for (const Pending &p : pending)
                kept.push_back(KeptEdge{nb::borrow(p.key), nb::borrow(p.edge), PyTuple_GET_ITEM(p.key, 0),
                                        PyTuple_GET_ITEM(p.key, 1), p.ia, p.ib, object()});
            pending.clear();
            if (!plain_records) return;
            for (std::size_t j = first; j < kept.size(); ++j)
                if (Py_TYPE(kept[j].edge.ptr()) == edge_type) read_weight(kept[j]);
        };
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            PyObject *k = chunk[i].first;
            std::int32_t ia = -1, ib = -1;
            if (PyTuple_CheckExact(k) && PyTuple_GET_SIZE(k) == 2 &&
                keep.find_known(PyTuple_GET_ITEM(k, 0), ia) &&
                (ia < 0 || keep.find_known(PyTuple_GET_ITEM(k, 1), ib))) {
                if (ia >= 0 && ib >= 0) {
                    prefetch_range(chunk[i].second, 2 * CACHE_LINE);
                    pending.push_back(Pending{k, chunk[i].second, ia, ib});
                }
                continue;
            }
            held.clear();
            for (std::size_t j = i; j < chunk.size(); ++j) {
                held.push_back(nb::borrow(chunk[j].first));
                held.push_back(nb::borrow(chunk[j].second));
            }
            take_pending();
            for (std::size_t j = i; j < chunk.size(); ++j)
                consider(kept, keep, handle(chunk[j].first), handle(chunk[j].second));
            break;
        }
        take_pending();
    }
}

/// Edges between kept nodes, in the insertion order of `edges`, with their weights.
std::vector<KeptEdge> kept_edges(handle edges, KeepIndex &keep) {
    std::vector<KeptEdge> kept;
    if (PyDict_CheckExact(edges.ptr())) {
        walk_edge_dict(kept, keep, edges);
    } else {
        for_each(edges, [&](handle key) { consider(kept, keep, key, get_item(edges, key)); });
    }
    for (KeptEdge &e : kept)
        if (!e.weight.is_valid()) read_weight(e);
    return kept;
}

/// Thinning: every kept node nominates its strongest edges; an edge stays
/// when either endpoint nominated it, so no node loses its own best ones.
void thin(std::vector<KeptEdge> &kept, Py_ssize_t kept_count, Py_ssize_t max_edges_per_node) {
    if (max_edges_per_node <= 0) {
        for (KeptEdge &e : kept) e.nominated = true;
        return;
    }
    // Lists laid out one after the other: counts, offsets, then fill.
    std::vector<std::size_t> start(static_cast<std::size_t>(kept_count) + 1, 0);
    std::vector<unsigned char> plain(static_cast<std::size_t>(kept_count), 1);
    for (const KeptEdge &e : kept) {
        for (std::int32_t slot : {e.ia, e.ib}) {
            ++start[static_cast<std::size_t>(slot) + 1];
            if (!e.plain) plain[static_cast<std::size_t>(slot)] = 0;
        }
    }
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    std::vector<Incident> all(start.back());
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t e = 0; e < kept.size(); ++e)
        for (std::int32_t slot : {kept[e].ia, kept[e].ib})
            all[fill[static_cast<std::size_t>(slot)]++] = Incident{kept[e].w, static_cast<std::int32_t>(e)};
    std::vector<Incident> list;
    for (std::size_t slot = 0; slot < static_cast<std::size_t>(kept_count); ++slot) {
        list.assign(all.begin() + static_cast<std::ptrdiff_t>(start[slot]),
                    all.begin() + static_cast<std::ptrdiff_t>(start[slot + 1]));
        nominate(kept, list, static_cast<std::size_t>(max_edges_per_node), plain[slot] != 0);
    }
}

/// The kept nodes (in ranking order) with their ids, and the index that
/// answers "is this id kept?".
struct KeptNodes {
    object ranked;
    std::vector<object> ids;
    KeepIndex keep;
};

KeptNodes keep_nodes(handle nodes, Py_ssize_t max_nodes, Py_ssize_t &total) {
    object all_nodes = values_list(nodes);
    total = PyList_GET_SIZE(all_nodes.ptr());
    Py_ssize_t count = max_nodes > 0 ? std::min(max_nodes, total) : total;
    KeptNodes out{top_nodes(all_nodes, count), {}, KeepIndex(static_cast<std::size_t>(count), static_cast<std::size_t>(total))};
    out.ids.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        object id = get_attr(handle(PyList_GET_ITEM(out.ranked.ptr(), i)), names.session_id);
        out.keep.add_kept(id, static_cast<std::int32_t>(i));
        out.ids.push_back(std::move(id));
    }
    return out;
}

/// The export dict: node records in ranking order, then the surviving edges.
object export_view(const KeptNodes &kept_nodes, const std::vector<KeptEdge> &kept, Py_ssize_t summary_chars,
                   Py_ssize_t total) {
    handle ranked = kept_nodes.ranked;
    Py_ssize_t count = PyList_GET_SIZE(ranked.ptr());
    warm_up_records(ranked);
    object node_records = steal_or_raise(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        object record = node_record(handle(PyList_GET_ITEM(ranked.ptr(), i)),
                                    kept_nodes.ids[static_cast<std::size_t>(i)], summary_chars);
        PyList_SET_ITEM(node_records.ptr(), i, record.release().ptr());
    }
    object edge_records = steal_or_raise(PyList_New(0));
    for (const KeptEdge &e : kept)
        if (e.nominated) check(PyList_Append(edge_records.ptr(), edge_record(e).ptr()));

    object result = steal_or_raise(PyDict_New());
    dict_put(result, names.nodes, node_records);
    dict_put(result, names.edges, edge_records);
    dict_put(result, names.total_nodes, make_int(total));
    dict_put(result, names.truncated, handle(count < total ? Py_True : Py_False));
    return result;
}

}  // namespace

object _short(handle, const Args &a) {
    require_exact_str(a[0], "text");
    return short_text(a[0], int_arg(a[1], "limit"));
}

constinit Method def::_short{
    {"_short", false, {req("text"), req("limit")}}, mesh::_short,
    "`text` cut to `limit` characters with an ellipsis; a limit of 0 or less keeps it whole."};

object ConceptMesh_to_dict(handle self, const Args &a) {
    Py_ssize_t max_nodes = a.given(0) ? int_arg(a[0], "max_nodes") : 300;
    Py_ssize_t max_edges_per_node = a.given(1) ? int_arg(a[1], "max_edges_per_node") : 8;
    Py_ssize_t summary_chars = a.given(2) ? int_arg(a[2], "summary_chars") : 280;

    object nodes = get_attr(self, names.nodes);
    Py_ssize_t total = 0;
    KeptNodes kept_nodes = keep_nodes(nodes, max_nodes, total);
    object edges = get_attr(self, names.edges);
    // Attribute reads may run Python code: the identities recorded from here
    // on are read with nothing else running until the edge walk.
    record_others(kept_nodes.keep, nodes, kept_nodes.ranked, kept_nodes.ids);
    std::vector<KeptEdge> kept = kept_edges(edges, kept_nodes.keep);
    thin(kept, PyList_GET_SIZE(kept_nodes.ranked.ptr()), max_edges_per_node);
    return export_view(kept_nodes, kept, summary_chars, total);
}

constinit Method def::to_dict{
    {"to_dict", true, {opt("max_nodes", "300"), opt("max_edges_per_node", "8"), opt("summary_chars", "280")}}, ConceptMesh_to_dict,
    "A bounded plain-data view of the mesh for display."};

}  // namespace vk::mesh
