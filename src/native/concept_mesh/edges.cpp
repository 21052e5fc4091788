// The graph model: nodes (_ensure_node) and edge updates (_update_edge), the
// one place an edge record and its two neighbour entries are written.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace vk::mesh {

namespace {

/// `mapping.pop(key, None)`.
void discard_item(handle mapping, handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        check(PyDict_Pop(mapping.ptr(), key.ptr(), nullptr));
        return;
    }
    call_method(mapping, names.pop, key, handle(Py_None));
}

/// Removes the pair from `edges` and both neighbour maps. Every removal is
/// attempted even when one fails, so that a failing container leaves as few
/// places listing the pair as possible; the first error is raised afterwards.
void drop_pair(handle edges, handle key, handle neighbors_a, handle b, handle neighbors_b, handle a) {
    std::optional<nb::python_error> first;
    for (auto [mapping, k] : {std::pair{edges, key}, std::pair{neighbors_a, b}, std::pair{neighbors_b, a}}) {
        try {
            discard_item(mapping, k);
        } catch (nb::python_error &e) {
            if (!first) first.emplace(std::move(e));
        }
    }
    if (first) throw std::move(*first);
}

/// A GraphEdge with its fields set in declaration order, as the generated
/// initializer would set them, without running the initializer's frame.
object new_edge(handle st, handle se, handle sk, handle es, handle weight) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(state.graph_edge_type.ptr());
    object empty = steal_or_raise(PyTuple_New(0));
    object edge = steal_or_raise(type->tp_new(type, empty.ptr(), nullptr));
    set_attr(edge, names.shared_tags, st);
    set_attr(edge, names.shared_entities, se);
    set_attr(edge, names.shared_key_points, sk);
    set_attr(edge, names.embedding_similarity, es);
    set_attr(edge, names.weight, weight);
    return edge;
}

/// The edge weight and whether it is above 0. Tuning attributes are read at
/// every update (a caller may retune a live mesh); `embedding_weight` only when
/// the similarity reaches the threshold. Exact ints and floats are combined in
/// doubles in the same order as the interpreted expression; anything else goes
/// through the number protocol.
struct Weight {
    object value;
    bool positive;
};

Weight edge_weight(handle self, const MeshReads *pre, handle st, handle se, handle sk, double sim, handle sim_obj) {
    auto read = [&](object MeshReads::*kept, handle name) {
        return pre != nullptr ? nb::borrow(pre->*kept) : get_attr(self, name);
    };
    object tw = read(&MeshReads::tag_weight, names.tag_weight);
    object ew = read(&MeshReads::entity_weight, names.entity_weight);
    object kw = read(&MeshReads::key_point_weight, names.key_point_weight);
    bool fast = PyLong_CheckExact(st.ptr()) && PyLong_CheckExact(se.ptr()) && PyLong_CheckExact(sk.ptr()) &&
                PyFloat_CheckExact(tw.ptr()) && PyFloat_CheckExact(ew.ptr()) && PyFloat_CheckExact(kw.ptr());
    double w = 0.0;
    object w_obj;
    if (fast) {
        double a = PyLong_AsDouble(st.ptr());
        if (a == -1.0 && PyErr_Occurred()) raise_pending();
        double b = PyLong_AsDouble(se.ptr());
        if (b == -1.0 && PyErr_Occurred()) raise_pending();
        double c = PyLong_AsDouble(sk.ptr());
        if (c == -1.0 && PyErr_Occurred()) raise_pending();
        double t1 = a * PyFloat_AS_DOUBLE(tw.ptr());
        double t2 = b * PyFloat_AS_DOUBLE(ew.ptr());
        double t3 = c * PyFloat_AS_DOUBLE(kw.ptr());
        w = (t1 + t2) + t3;
    } else {
        object t1 = steal_or_raise(PyNumber_Multiply(st.ptr(), tw.ptr()));
        object t2 = steal_or_raise(PyNumber_Multiply(se.ptr(), ew.ptr()));
        object s = steal_or_raise(PyNumber_Add(t1.ptr(), t2.ptr()));
        object t3 = steal_or_raise(PyNumber_Multiply(sk.ptr(), kw.ptr()));
        w_obj = steal_or_raise(PyNumber_Add(s.ptr(), t3.ptr()));
    }

    object thr = read(&MeshReads::similarity_threshold, names.similarity_threshold);
    bool reaches;
    if (PyFloat_CheckExact(thr.ptr())) {
        reaches = sim >= PyFloat_AS_DOUBLE(thr.ptr());
    } else {
        object s = sim_obj.is_valid() ? nb::borrow(sim_obj) : make_float(sim);
        reaches = check(PyObject_RichCompareBool(s.ptr(), thr.ptr(), Py_GE)) != 0;
    }
    if (reaches) {
        object emw = read(&MeshReads::embedding_weight, names.embedding_weight);
        if (fast && PyFloat_CheckExact(emw.ptr())) {
            w += sim * PyFloat_AS_DOUBLE(emw.ptr());
        } else {
            if (fast) {
                w_obj = make_float(w);
                fast = false;
            }
            object s = sim_obj.is_valid() ? nb::borrow(sim_obj) : make_float(sim);
            object term = steal_or_raise(PyNumber_Multiply(s.ptr(), emw.ptr()));
            w_obj = steal_or_raise(PyNumber_Add(w_obj.ptr(), term.ptr()));
        }
    }
    if (fast) return {make_float(w), w > 0.0};
    object zero = make_int(0);
    return {w_obj, check(PyObject_RichCompareBool(w_obj.ptr(), zero.ptr(), Py_GT)) != 0};
}

/// The key of a pair of exact str. Such a tuple can never be part of a
/// reference cycle, so the collector need not track it (it would stop
/// tracking it at its first pass anyway).
object pair_key(handle low, handle high) {
    object key = steal_or_raise(PyTuple_Pack(2, low.ptr(), high.ptr()));
    PyObject_GC_UnTrack(key.ptr());
    return key;
}

/// The update of the pair (a, b) with its key; `pre` holds what it reads from
/// the mesh when the caller read it before (see MeshReads), else null.
void update_pair(handle self, const MeshReads *pre, handle key, handle a, handle b, handle node_a, handle node_b,
                 handle st, handle se, handle sk, double sim, handle sim_obj);

}  // namespace

void apply_edge_update(handle self, handle a, handle b, handle st, handle se, handle sk, double sim,
                       handle sim_obj) {
    int cmp = PyUnicode_Compare(a.ptr(), b.ptr());
    if (cmp == -1 && PyErr_Occurred()) raise_pending();
    if (cmp == 0) return;

    // Both endpoints are looked up before anything changes, so that a pair with
    // an unknown session fails without leaving an edge that no node lists.
    object nodes = get_attr(self, names.nodes);
    object node_a = get_item(nodes, a);
    object node_b = get_item(nodes, b);
    object key = cmp < 0 ? pair_key(a, b) : pair_key(b, a);
    update_pair(self, nullptr, key, a, b, node_a, node_b, st, se, sk, sim, sim_obj);
}

void apply_edge_update(const MeshReads &pre, std::size_t i, std::size_t j, bool i_low, handle st, handle se,
                       handle sk, double sim) {
    handle a = pre.ids[i], b = pre.ids[j];
    object key = i_low ? pair_key(a, b) : pair_key(b, a);
    update_pair(pre.self, &pre, key, a, b, pre.nodes[i], pre.nodes[j], st, se, sk, sim, handle());
}

namespace {

void update_pair(handle self, const MeshReads *pre, handle key, handle a, handle b, handle node_a, handle node_b,
                 handle st, handle se, handle sk, double sim, handle sim_obj) {
    object edges = pre != nullptr ? nb::borrow(pre->edges) : get_attr(self, names.edges);
    // `edges.get(key)`; None counts as no record.
    object record = get_or_none(edges, key);
    if (record.is_none()) record = object();

    // The stored similarity is the largest seen; it starts at 0.0, so a NaN or a
    // negative similarity never replaces it.
    object es_obj;
    if (record.is_valid()) {
        set_attr(record, names.shared_tags, st);
        set_attr(record, names.shared_entities, se);
        set_attr(record, names.shared_key_points, sk);
        object stored = get_attr(record, names.embedding_similarity);
        bool greater;
        if (PyFloat_CheckExact(stored.ptr())) {
            greater = sim > PyFloat_AS_DOUBLE(stored.ptr());
        } else {
            object s = sim_obj.is_valid() ? nb::borrow(sim_obj) : make_float(sim);
            greater = check(PyObject_RichCompareBool(s.ptr(), stored.ptr(), Py_GT)) != 0;
        }
        if (greater) {
            es_obj = sim_obj.is_valid() ? nb::borrow(sim_obj) : make_float(sim);
            set_attr(record, names.embedding_similarity, es_obj);
        } else {
            es_obj = std::move(stored);
        }
    }

    Weight w = edge_weight(self, pre, st, se, sk, sim, sim_obj);
    if (record.is_valid()) set_attr(record, names.weight, w.value);

    // Both neighbour maps are fetched before the first write, so that a node
    // without usable neighbours fails the update before the pair is half stored.
    object neighbors_a = get_attr(node_a, names.neighbors);
    object neighbors_b = get_attr(node_b, names.neighbors);
    if (w.positive) {
        if (!record.is_valid()) {
            es_obj = sim > 0.0 ? (sim_obj.is_valid() ? nb::borrow(sim_obj) : make_float(sim)) : make_float(0.0);
            record = new_edge(st, se, sk, es_obj, w.value);
        }
        // One fresh snapshot serves both endpoints.
        object data = steal_or_raise(PyDict_New());
        check(PyDict_SetItem(data.ptr(), names.shared_tags.ptr(), st.ptr()));
        check(PyDict_SetItem(data.ptr(), names.shared_entities.ptr(), se.ptr()));
        check(PyDict_SetItem(data.ptr(), names.shared_key_points.ptr(), sk.ptr()));
        check(PyDict_SetItem(data.ptr(), names.embedding_similarity.ptr(), es_obj.ptr()));
        check(PyDict_SetItem(data.ptr(), names.weight.ptr(), w.value.ptr()));
        try {
            set_item(edges, key, record);
            set_item(neighbors_a, b, data);
            set_item(neighbors_b, a, data);
        } catch (nb::python_error &) {
            // A container that refused the write: the pair is dropped from all
            // three places rather than left listed in some of them.
            drop_pair(edges, key, neighbors_a, b, neighbors_b, a);
            throw;
        }
    } else {
        drop_pair(edges, key, neighbors_a, b, neighbors_b, a);
    }
}

object ensure_node_impl(handle self, handle memoria) {
    require_exact_dict(memoria, "memoria");
    handle id_ref = dict_get(memoria, names.id);
    if (!id_ref.is_valid()) {
        PyErr_SetObject(PyExc_KeyError, names.id.ptr());
        raise_pending();
    }
    object session_id = nb::borrow(id_ref);

    {
        object nodes = get_attr(self, names.nodes);
        if (PyDict_CheckExact(nodes.ptr())) {
            handle existing = dict_get(nodes, session_id);
            if (existing.is_valid()) return nb::borrow(existing);
        } else if (check(PySequence_Contains(nodes.ptr(), session_id.ptr()))) {
            return steal_or_raise(PyObject_GetItem(nodes.ptr(), session_id.ptr()));
        }
    }

    // Fields in the initializer's order; the first dict seen for an id wins.
    object summary = get_or(memoria, names.summary, names.empty_str);
    object created_at = get_or(memoria, names.created_at, handle(Py_None));
    auto normalized = [&](handle key) {
        object raw = get_or(memoria, key, steal_or_raise(PyList_New(0)));
        return call(lookup_global(state.module_dict, names.normalize_items), raw);
    };
    object tags = normalized(names.tags);
    object entities = normalized(names.entities);
    object key_points = normalized(names.key_points);
    object embedding = get_or(memoria, names.embedding, steal_or_raise(PyList_New(0)));
    object node = call(state.graph_node_type, session_id, summary, created_at, tags, entities, key_points,
                       embedding, memoria);
    set_item(get_attr(self, names.nodes), session_id, node);
    return node;
}

}  // namespace

void update_edge_from_args(handle self, handle session_a, handle session_b, handle shared_tags,
                         handle shared_entities, handle shared_key_points, handle embedding_similarity) {
    require_exact_str(session_a, "session_a");
    require_exact_str(session_b, "session_b");
    object st = to_int_arg(shared_tags, "shared_tags");
    object se = to_int_arg(shared_entities, "shared_entities");
    object sk = to_int_arg(shared_key_points, "shared_key_points");
    double sim = to_double(embedding_similarity);
    handle sim_obj = PyFloat_CheckExact(embedding_similarity.ptr()) ? embedding_similarity : handle();
    apply_edge_update(self, session_a, session_b, st, se, sk, sim, sim_obj);
}

Py_ssize_t intersection_size(handle a, handle b) {
    if (PyAnySet_CheckExact(a.ptr()) && PyAnySet_CheckExact(b.ptr())) {
        // Walk the smaller set and probe the larger, as `set.__and__` does (on
        // equal sizes it walks the right operand). The walk reads the table
        // like CPython's own intersection: the table pointer and mask are
        // re-read at every step and each key is held while it is probed, so a
        // comparison that changes either set cannot make it read freed memory.
        handle walk = b, probe = a;
        if (PySet_GET_SIZE(b.ptr()) > PySet_GET_SIZE(a.ptr())) {
            walk = a;
            probe = b;
        }
        if (PySet_GET_SIZE(walk.ptr()) == 0 || PySet_GET_SIZE(probe.ptr()) == 0) return 0;
        PySetObject *so = reinterpret_cast<PySetObject *>(walk.ptr());
        Py_ssize_t count = 0;
        for (Py_ssize_t pos = 0; pos <= so->mask; ++pos) {
            setentry *entry = &so->table[pos];
            if (entry->key == nullptr || entry->hash == -1) continue;  // unused or dummy slot
            object key = nb::borrow(handle(entry->key));
            count += check(PySet_Contains(probe.ptr(), key.ptr()));
        }
        return count;
    }
    object both = steal_or_raise(PyNumber_And(a.ptr(), b.ptr()));
    return check_size(PyObject_Size(both.ptr()));
}

object ensure_node(handle self, handle memoria) {
    if (is_exact_with_own_method<def::_ensure_node>(self, state.mesh_type)) return ensure_node_impl(self, memoria);
    return call_method(self, names._ensure_node, memoria);
}

void call_update_edge(handle self, handle session_a, handle session_b, handle shared_tags,
                      handle shared_entities, handle shared_key_points, handle embedding_similarity) {
    if (is_exact_with_own_method<def::_update_edge>(self, state.mesh_type))
        update_edge_from_args(self, session_a, session_b, shared_tags, shared_entities, shared_key_points,
                            embedding_similarity);
    else
        call_method(self, names._update_edge, session_a, session_b, shared_tags, shared_entities,
                    shared_key_points, embedding_similarity);
}

object ConceptMesh_init(handle self, const Args &a) {
    // Every value is converted before any attribute is set.
    object threshold = a.given(0) ? to_float_object(a[0]) : make_float(0.75);
    object tag = a.given(1) ? to_float_object(a[1]) : make_float(1.0);
    object entity = a.given(2) ? to_float_object(a[2]) : make_float(1.2);
    object key_point = a.given(3) ? to_float_object(a[3]) : make_float(1.1);
    object embedding = a.given(4) ? to_float_object(a[4]) : make_float(2.5);
    set_attr(self, names.nodes, steal_or_raise(PyDict_New()));
    set_attr(self, names.edges, steal_or_raise(PyDict_New()));
    set_attr(self, names.total_conversations, make_int(0));
    set_attr(self, names.last_rebuild, handle(Py_None));
    set_attr(self, names.similarity_threshold, threshold);
    set_attr(self, names.tag_weight, tag);
    set_attr(self, names.entity_weight, entity);
    set_attr(self, names.key_point_weight, key_point);
    set_attr(self, names.embedding_weight, embedding);
    return nb::none();
}

constinit Method def::init{
    {"__init__", true, {opt("similarity_threshold", "0.75"), opt("tag_weight", "1.0"), opt("entity_weight", "1.2"), opt("key_point_weight", "1.1"), opt("embedding_weight", "2.5")}}, ConceptMesh_init,
    "An empty mesh with the given tuning values."};

object ConceptMesh_ensure_node(handle self, const Args &a) {
    return ensure_node_impl(self, a[0]);
}

constinit Method def::_ensure_node{
    {"_ensure_node", true, {req("memoria")}}, ConceptMesh_ensure_node,
    "The node for memoria['id'], created from the memory dict when absent."};

object ConceptMesh_update_edge(handle self, const Args &a) {
    update_edge_from_args(self, a[0], a[1], a[2], a[3], a[4], a[5]);
    return nb::none();
}

constinit Method def::_update_edge{
    {"_update_edge", true, {req("session_a"), req("session_b"), req("shared_tags"), req("shared_entities"), req("shared_key_points"), req("embedding_similarity")}}, ConceptMesh_update_edge,
    "Recompute the edge between two sessions; remove it when its weight is not above 0."};

}  // namespace vk::mesh
