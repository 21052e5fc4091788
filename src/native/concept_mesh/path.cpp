// Strongest path (Dijkstra over 1/weight) and reset.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mesh.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace vk::mesh {

namespace {

/// `mapping[key]` for the `nodes` dict (or whatever object stands in for it).
object get_item(handle mapping, handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        handle v = dict_get(mapping, key);
        if (!v.is_valid()) {
            // KeyError carrying the key itself, as dict subscription raises it.
            object exc_arg = steal_or_raise(PyTuple_Pack(1, key.ptr()));
            PyErr_SetObject(PyExc_KeyError, exc_arg.ptr());
            raise_pending();
        }
        return nb::borrow(v);
    }
    return steal_or_raise(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

bool contains(handle container, handle key) {
    int found = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                                   : PySequence_Contains(container.ptr(), key.ptr());
    return check(found) == 1;
}

/// `edge_data.get("weight", 0.0)` as an owned reference; null when the entry
/// holds no weight (the caller treats it like a weight of 0).
object weight_of(handle edge_data) {
    if (PyDict_CheckExact(edge_data.ptr())) {
        handle w = dict_get(edge_data, names.weight);
        return w.is_valid() ? nb::borrow(w) : object();
    }
    object zero = make_float(0.0);
    return call_method(edge_data, interned("get"), names.weight, zero);
}

/// Heap entry: a tentative distance and the index of the node it reaches.
struct Entry {
    double dist;
    std::int32_t node;
};

}  // namespace

object ConceptMesh_shortest_path(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("shortest_path", true, {req("source_id"), req("target_id")});
    Args a = parse_args(sig, args, nargs, kwnames);
    handle source_id = a[0], target_id = a[1];
    require_exact_str(source_id, "source_id");
    require_exact_str(target_id, "target_id");

    object nodes = get_attr(self, names.nodes);
    object result = steal_or_raise(PyList_New(0));
    if (!contains(nodes, source_id) || !contains(nodes, target_id)) return result;
    if (PyUnicode_Compare(source_id.ptr(), target_id.ptr()) == 0) {
        check(PyList_Append(result.ptr(), source_id.ptr()));
        return result;
    }

    // Nodes get dense indices as they are first reached; the source is 0 and
    // the target 1, so that reaching the target is an index test.
    KeyTable ids(64);
    bool inserted = false;
    ids.intern(source_id, inserted);
    ids.intern(target_id, inserted);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> distance{0.0, inf};
    std::vector<std::int32_t> previous{-1, -1};
    std::vector<unsigned char> visited{0, 0};

    // Entries compare as (distance, session id): equal distances pop the
    // smaller id first. Ids of other types than str compare through Python.
    auto id_less = [&](std::int32_t x, std::int32_t y) -> bool {
        handle kx = ids.key(x), ky = ids.key(y);
        if (PyUnicode_CheckExact(kx.ptr()) && PyUnicode_CheckExact(ky.ptr()))
            return PyUnicode_Compare(kx.ptr(), ky.ptr()) < 0;
        return check(PyObject_RichCompareBool(kx.ptr(), ky.ptr(), Py_LT)) == 1;
    };
    // std heap functions keep the largest on top: "greater" makes it a min-heap.
    auto greater = [&](const Entry &x, const Entry &y) -> bool {
        if (x.dist != y.dist) return x.dist > y.dist;
        return id_less(y.node, x.node);
    };
    std::vector<Entry> heap{{0.0, 0}};
    object one = make_float(1.0);
    object zero_int = make_int(0);

    bool reached = false;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), greater);
        Entry top = heap.back();
        heap.pop_back();
        auto cur = static_cast<std::size_t>(top.node);
        if (visited[cur]) continue;
        visited[cur] = 1;
        if (top.node == 1) {
            reached = true;
            break;
        }
        handle current_id = ids.key(top.node);
        object node = get_item(nodes, current_id);
        object neighbors = get_attr(node, names.neighbors);
        // Exact dicts are walked directly; anything else through items().
        object items;
        if (!PyDict_CheckExact(neighbors.ptr())) {
            object view = call_method(neighbors, interned("items"));
            items = steal_or_raise(PySequence_List(view.ptr()));
        }
        Py_ssize_t pos = 0, k = 0;
        for (;;) {
            object neighbor_id, edge_data;
            if (items.is_valid()) {
                if (k >= PyList_GET_SIZE(items.ptr())) break;
                object pair = nb::borrow(PyList_GET_ITEM(items.ptr(), k++));
                object seq = steal_or_raise(PySequence_Tuple(pair.ptr()));
                if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                    raise_format(PyExc_ValueError, "neighbour entries must be (id, edge data) pairs");
                neighbor_id = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0));
                edge_data = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1));
            } else {
                PyObject *key = nullptr, *value = nullptr;
                if (!PyDict_Next(neighbors.ptr(), &pos, &key, &value)) break;
                neighbor_id = nb::borrow(key);
                edge_data = nb::borrow(value);
            }
            object w = weight_of(edge_data);
            if (!w.is_valid()) continue;  // no weight: not an edge
            double step;
            if (PyFloat_CheckExact(w.ptr())) {
                double weight = PyFloat_AS_DOUBLE(w.ptr());
                if (weight <= 0.0) continue;  // so no division by zero; NaN falls through and never improves
                step = 1.0 / weight;
            } else {
                // Other numbers follow Python's own comparison and division.
                if (check(PyObject_RichCompareBool(w.ptr(), zero_int.ptr(), Py_LE)) == 1) continue;
                object inv = steal_or_raise(PyNumber_TrueDivide(one.ptr(), w.ptr()));
                step = PyFloat_AsDouble(inv.ptr());
                if (step == -1.0 && PyErr_Occurred()) raise_pending();
            }
            std::int32_t nb_index = ids.intern(neighbor_id, inserted);
            if (inserted) {
                distance.push_back(inf);
                previous.push_back(-1);
                visited.push_back(0);
            }
            auto j = static_cast<std::size_t>(nb_index);
            if (visited[j]) continue;
            double new_dist = top.dist + step;
            // Strictly shorter only: an equally short later route keeps the first predecessor.
            if (new_dist < distance[j]) {
                distance[j] = new_dist;
                previous[j] = top.node;
                heap.push_back(Entry{new_dist, nb_index});
                std::push_heap(heap.begin(), heap.end(), greater);
            }
        }
    }
    // A target that was pushed is always popped before the heap runs dry, so
    // not popping it means it was never reached.
    if (!reached) return result;
    std::vector<std::int32_t> chain;
    for (std::int32_t v = 1; v != 0; v = previous[static_cast<std::size_t>(v)]) chain.push_back(v);
    chain.push_back(0);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) check(PyList_Append(result.ptr(), ids.key(*it).ptr()));
    return result;
}

object ConceptMesh_clear(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("clear", true, {});
    parse_args(sig, args, nargs, kwnames);
    // Emptied in place: callers holding these dicts see them empty.
    for (handle name : {names.nodes, names.edges}) {
        object d = get_attr(self, name);
        if (PyDict_CheckExact(d.ptr()))
            PyDict_Clear(d.ptr());
        else
            call_method(d, interned("clear"));
    }
    set_attr(self, names.total_conversations, make_int(0));
    return nb::none();
}

}  // namespace vk::mesh
