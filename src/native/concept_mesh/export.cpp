// Export for display: _short and to_dict.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mesh.hpp"
#include "concept_mesh/round4.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vk::mesh {

namespace {

Py_ssize_t int_arg(handle value, const char *name) {
    object v = to_int_arg(value, name);
    return clamp_to_ssize(v, PY_SSIZE_T_MIN, PY_SSIZE_T_MAX);
}

object short_text(handle text, Py_ssize_t limit) {
    require_exact_str(text, "text");
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (limit <= 0 || length <= limit) return nb::borrow(text);
    static handle ellipsis = interned("\xe2\x80\xa6");  // U+2026
    object head = steal_or_raise(PyUnicode_Substring(text.ptr(), 0, limit - 1));
    return steal_or_raise(PyUnicode_Concat(head.ptr(), ellipsis.ptr()));
}

/// `mapping.get(key)`: a plain dict directly, anything else through its `get`.
object get_or_none(handle mapping, handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        handle v = dict_get(mapping, key);
        return nb::borrow(v.is_valid() ? v : handle(Py_None));
    }
    static handle get_name = interned("get");
    return call_method(mapping, get_name, key);
}

/// `(memoria.get("source") or {}).get(key)`; the source is looked up afresh
/// for every key.
object source_field(handle memoria, handle key) {
    object source = get_or_none(memoria, names.source);
    if (!check(PyObject_IsTrue(source.ptr()))) return nb::none();
    return get_or_none(source, key);
}

object sorted_list(handle iterable) {
    object list = steal_or_raise(PySequence_List(iterable.ptr()));
    check(PyList_Sort(list.ptr()));
    return list;
}

void set_item(handle d, handle key, handle value) { check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr())); }

object values_of(handle nodes) {
    if (PyDict_CheckExact(nodes.ptr())) return steal_or_raise(PyDict_Values(nodes.ptr()));
    static handle values_name = interned("values");
    object view = call_method(nodes, values_name);
    return steal_or_raise(PySequence_List(view.ptr()));
}

/// `sorted(nodes, key=lambda n: n.centrality, reverse=True)`: most central
/// first, ties in first-seen order.
object rank_nodes(handle node_list) {
    Py_ssize_t n = PyList_GET_SIZE(node_list.ptr());
    std::vector<double> score(static_cast<std::size_t>(n));
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
        object c = get_attr(handle(PyList_GET_ITEM(node_list.ptr(), i)), names.centrality);
        if (!PyFloat_CheckExact(c.ptr()) || std::isnan(PyFloat_AS_DOUBLE(c.ptr()))) plain = false;
        else score[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(c.ptr());
    }
    if (!plain) {
        // Other score types (or NaN, which has no order) sort exactly as Python sorts them.
        object op = steal_or_raise(PyImport_ImportModule("operator"));
        object key = call(get_attr(op, interned("attrgetter")), names.centrality);
        object list = steal_or_raise(PySequence_List(node_list.ptr()));
        object sort = get_attr(list, interned("sort"));
        object kwargs = steal_or_raise(PyDict_New());
        check(PyDict_SetItemString(kwargs.ptr(), "key", key.ptr()));
        check(PyDict_SetItemString(kwargs.ptr(), "reverse", Py_True));
        object empty = steal_or_raise(PyTuple_New(0));
        steal_or_raise(PyObject_Call(sort.ptr(), empty.ptr(), kwargs.ptr()));
        return list;
    }
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t x, Py_ssize_t y) {
        return score[static_cast<std::size_t>(x)] > score[static_cast<std::size_t>(y)];
    });
    object ranked = steal_or_raise(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *node = PyList_GET_ITEM(node_list.ptr(), order[static_cast<std::size_t>(i)]);
        PyList_SET_ITEM(ranked.ptr(), i, Py_NewRef(node));
    }
    return ranked;
}

/// An edge between two kept nodes.
struct KeptEdge {
    object key, edge, a, b, weight;
    std::int32_t ia, ib;  // kept-node slots of the endpoints
    bool nominated = false;
};

/// Membership in the set of kept ids, with set semantics. Session ids are
/// normally the very string objects stored in the edge keys, so identity
/// answers almost every query without hashing; other objects go to the dict.
class KeepIndex {
public:
    KeepIndex(std::size_t n) : ptrs_(n), index_(steal_or_raise(PyDict_New())) {}

    /// Slot of a kept id (an equal id kept earlier shares its slot).
    std::int32_t add_kept(handle id, std::int32_t slot) {
        object value = make_int(slot);
        PyObject *found = PyDict_SetDefault(index_.ptr(), id.ptr(), value.ptr());
        if (found == nullptr) raise_pending();
        auto canonical = static_cast<std::int32_t>(PyLong_AsLong(found));
        remember(id, canonical);
        return canonical;
    }

    /// Pre-answers the query for an id that was not kept (it may still equal a kept one).
    void add_other(handle id) { remember(id, lookup_slow(id)); }

    std::int32_t find(handle id) const {
        std::int32_t v;
        if (ptrs_.get(id.ptr(), v)) return v;
        return lookup_slow(id);
    }

private:
    void remember(handle id, std::int32_t v) {
        held_.push_back(nb::borrow(id));
        ptrs_.put(id.ptr(), v);
    }

    std::int32_t lookup_slow(handle id) const {
        handle v = dict_get(index_, id);
        return v.is_valid() ? static_cast<std::int32_t>(PyLong_AsLong(v.ptr())) : -1;
    }

    PointerMap ptrs_;
    object index_;
    std::vector<object> held_;
};

/// True when `x` goes before `y` in the (-weight, key) order, for plain float
/// weights (not NaN) and keys of two str.
bool nominates_before(const KeptEdge &x, const KeptEdge &y) {
    double wx = PyFloat_AS_DOUBLE(x.weight.ptr()), wy = PyFloat_AS_DOUBLE(y.weight.ptr());
    if (wx != wy) return wx > wy;
    int c = PyUnicode_Compare(x.a.ptr(), y.a.ptr());
    if (c != 0) return c < 0;
    return PyUnicode_Compare(x.b.ptr(), y.b.ptr()) < 0;
}

bool plain_for_nomination(const KeptEdge &e) {
    return PyFloat_CheckExact(e.weight.ptr()) && !std::isnan(PyFloat_AS_DOUBLE(e.weight.ptr())) &&
           PyTuple_CheckExact(e.key.ptr()) && PyUnicode_CheckExact(e.a.ptr()) && PyUnicode_CheckExact(e.b.ptr());
}

/// Marks the first `limit` edges of one kept node's list in (-weight, key) order.
void nominate(std::vector<KeptEdge> &kept, std::vector<std::int32_t> &incident, std::size_t limit) {
    if (incident.size() <= limit) {
        for (std::int32_t e : incident) kept[static_cast<std::size_t>(e)].nominated = true;
        return;
    }
    bool plain = std::all_of(incident.begin(), incident.end(),
                             [&](std::int32_t e) { return plain_for_nomination(kept[static_cast<std::size_t>(e)]); });
    if (plain) {
        auto less = [&](std::int32_t x, std::int32_t y) {
            return nominates_before(kept[static_cast<std::size_t>(x)], kept[static_cast<std::size_t>(y)]);
        };
        std::partial_sort(incident.begin(), incident.begin() + static_cast<std::ptrdiff_t>(limit), incident.end(), less);
    } else {
        // Python's own ordering of (-weight, key) pairs, stable on ties.
        auto count = static_cast<Py_ssize_t>(incident.size());
        object items = steal_or_raise(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const KeptEdge &e = kept[static_cast<std::size_t>(incident[static_cast<std::size_t>(i)])];
            object neg = steal_or_raise(PyNumber_Negative(e.weight.ptr()));
            object pos = make_int(i);
            PyList_SET_ITEM(items.ptr(), i, steal_or_raise(PyTuple_Pack(3, neg.ptr(), e.key.ptr(), pos.ptr())).release().ptr());
        }
        check(PyList_Sort(items.ptr()));
        std::vector<std::int32_t> sorted(incident.size());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *pos = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 2);
            sorted[static_cast<std::size_t>(i)] = incident[static_cast<std::size_t>(PyLong_AsSsize_t(pos))];
        }
        incident.swap(sorted);
    }
    for (std::size_t i = 0; i < limit; ++i) kept[static_cast<std::size_t>(incident[i])].nominated = true;
}

object node_record(handle node, handle session_id, Py_ssize_t summary_chars) {
    object summary = short_text(get_attr(node, names.summary), summary_chars);
    object record = steal_or_raise(PyDict_New());
    set_item(record, names.id, session_id);
    set_item(record, names.summary, summary);
    set_item(record, names.created_at, get_attr(node, names.created_at));
    set_item(record, names.tags, sorted_list(get_attr(node, names.tags)));
    set_item(record, names.entities, sorted_list(get_attr(node, names.entities)));
    set_item(record, names.density, round4_object(get_attr(node, names.density)));
    set_item(record, names.centrality, round4_object(get_attr(node, names.centrality)));
    object memoria = get_attr(node, names.memoria);
    set_item(record, names.superseded_by, get_or_none(memoria, names.superseded_by));
    set_item(record, names.valid_until, get_or_none(memoria, names.valid_until));
    set_item(record, names.author, source_field(memoria, names.author));
    set_item(record, names.origin, source_field(memoria, names.origin));
    return record;
}

object edge_record(const KeptEdge &e) {
    static handle target_name = interned("target");
    object record = steal_or_raise(PyDict_New());
    set_item(record, names.source, e.a);
    set_item(record, target_name, e.b);
    set_item(record, names.weight, round4_object(e.weight));
    set_item(record, names.shared_tags, get_attr(e.edge, names.shared_tags));
    set_item(record, names.shared_entities, get_attr(e.edge, names.shared_entities));
    set_item(record, names.shared_key_points, get_attr(e.edge, names.shared_key_points));
    set_item(record, names.embedding_similarity, round4_object(get_attr(e.edge, names.embedding_similarity)));
    return record;
}

}  // namespace

object _short(handle, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("_short", false, {req("text"), req("limit")});
    Args a = parse_args(sig, args, nargs, kwnames);
    require_exact_str(a[0], "text");
    return short_text(a[0], int_arg(a[1], "limit"));
}

object ConceptMesh_to_dict(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("to_dict", true, {opt("max_nodes"), opt("max_edges_per_node"), opt("summary_chars")});
    Args a = parse_args(sig, args, nargs, kwnames);
    Py_ssize_t max_nodes = a.given(0) ? int_arg(a[0], "max_nodes") : 300;
    Py_ssize_t max_edges_per_node = a.given(1) ? int_arg(a[1], "max_edges_per_node") : 8;
    Py_ssize_t summary_chars = a.given(2) ? int_arg(a[2], "summary_chars") : 280;

    object nodes = get_attr(self, names.nodes);
    object ranked = rank_nodes(values_of(nodes));
    Py_ssize_t total = PyList_GET_SIZE(ranked.ptr());
    Py_ssize_t kept_count = max_nodes > 0 ? std::min(max_nodes, total) : total;

    KeepIndex keep(static_cast<std::size_t>(total));
    std::vector<object> kept_ids;
    kept_ids.reserve(static_cast<std::size_t>(kept_count));
    for (Py_ssize_t i = 0; i < kept_count; ++i) {
        object id = get_attr(handle(PyList_GET_ITEM(ranked.ptr(), i)), names.session_id);
        keep.add_kept(id, static_cast<std::int32_t>(i));
        kept_ids.push_back(std::move(id));
    }
    for (Py_ssize_t i = kept_count; i < total; ++i) {
        // Only a cache for the edge walk: a node without an id is simply not cached.
        PyObject *id = PyObject_GetAttr(PyList_GET_ITEM(ranked.ptr(), i), names.session_id.ptr());
        if (id == nullptr) {
            PyErr_Clear();
            continue;
        }
        keep.add_other(nb::steal(id));
    }

    // Edges between kept nodes, in the insertion order of `edges`.
    std::vector<KeptEdge> kept;
    object edges = get_attr(self, names.edges);
    auto consider = [&](handle key, handle edge) {
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
        kept.push_back(KeptEdge{k, nb::borrow(edge), ka, kb, object(), ia, ib});
    };
    if (PyDict_CheckExact(edges.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(edges.ptr(), &pos, &key, &value)) consider(handle(key), handle(value));
    } else {
        object it = steal_or_raise(PyObject_GetIter(edges.ptr()));
        while (PyObject *key = PyIter_Next(it.ptr())) {
            object k = nb::steal(key);
            object edge = steal_or_raise(PyObject_GetItem(edges.ptr(), k.ptr()));
            consider(k, edge);
        }
        if (PyErr_Occurred()) raise_pending();
    }
    for (KeptEdge &e : kept) e.weight = get_attr(e.edge, names.weight);

    // Thinning: every kept node nominates its strongest edges; an edge stays
    // when either endpoint nominated it, so no node loses its own best ones.
    if (max_edges_per_node > 0) {
        std::vector<std::vector<std::int32_t>> incident(static_cast<std::size_t>(kept_count));
        for (std::size_t e = 0; e < kept.size(); ++e) {
            incident[static_cast<std::size_t>(kept[e].ia)].push_back(static_cast<std::int32_t>(e));
            incident[static_cast<std::size_t>(kept[e].ib)].push_back(static_cast<std::int32_t>(e));
        }
        for (auto &list : incident) nominate(kept, list, static_cast<std::size_t>(max_edges_per_node));
    } else {
        for (KeptEdge &e : kept) e.nominated = true;
    }

    object node_records = steal_or_raise(PyList_New(kept_count));
    for (Py_ssize_t i = 0; i < kept_count; ++i) {
        object record = node_record(handle(PyList_GET_ITEM(ranked.ptr(), i)), kept_ids[static_cast<std::size_t>(i)],
                                    summary_chars);
        PyList_SET_ITEM(node_records.ptr(), i, record.release().ptr());
    }
    object edge_records = steal_or_raise(PyList_New(0));
    for (const KeptEdge &e : kept)
        if (e.nominated) check(PyList_Append(edge_records.ptr(), edge_record(e).ptr()));

    static handle nodes_key = interned("nodes"), edges_key = interned("edges");
    static handle total_key = interned("total_nodes"), truncated_key = interned("truncated");
    object result = steal_or_raise(PyDict_New());
    set_item(result, nodes_key, node_records);
    set_item(result, edges_key, edge_records);
    set_item(result, total_key, make_int(total));
    set_item(result, truncated_key, handle(kept_count < total ? Py_True : Py_False));
    return result;
}

}  // namespace vk::mesh
