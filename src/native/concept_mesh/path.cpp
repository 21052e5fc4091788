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

/// The "weight" of an edge-data dict, read without running Python code:
/// the key is found by identity (the mesh's dicts use the interned name),
/// or, when every key is a str, by a look-up that then compares str only.
/// False when neither applies; `weight` is null when the key is absent.
bool plain_weight(PyObject *data, PyObject *&weight) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    bool str_keys = true;
    while (PyDict_Next(data, &pos, &key, &value)) {
        if (key == names.weight.ptr()) {
            weight = value;
            return true;
        }
        if (!PyUnicode_CheckExact(key)) str_keys = false;
    }
    if (!str_keys) return false;
    weight = PyDict_GetItemWithError(data, names.weight.ptr());
    if (weight == nullptr && PyErr_Occurred()) raise_pending();
    return true;
}

/// One neighbour entry of the node being expanded (borrowed references).
struct Neighbor {
    PyObject *id, *data, *weight;
};

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

    // Every id seen gets its slot in the working arrays.
    bool plain_ids = true;  // only str ids so far: comparing two runs no Python code
    auto intern = [&](PyObject *id) -> std::int32_t {
        bool fresh = false;
        std::int32_t index = ids.intern(handle(id), fresh);
        if (fresh) {
            distance.push_back(inf);
            previous.push_back(-1);
            visited.push_back(0);
            if (!PyUnicode_CheckExact(id)) plain_ids = false;
        }
        return index;
    };
    std::vector<Neighbor> batch;
    std::vector<object> held;
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

        // The entries are gathered first and their weights read in separate
        // passes: the edge-data dicts and weights are scattered through
        // memory, and independent loads of many entries overlap where one
        // entry after the other would wait for each in turn. Plain entries
        // (dicts holding a float weight) are read without running any Python
        // code, so borrowed references stay valid; before the first entry
        // that needs Python's own operations, every remaining entry is held.
        batch.clear();
        held.clear();
        bool plain = plain_ids && PyDict_CheckExact(neighbors.ptr());
        if (plain) {
            Py_ssize_t pos = 0;
            PyObject *key = nullptr, *value = nullptr;
            while (PyDict_Next(neighbors.ptr(), &pos, &key, &value)) {
                prefetch(value);
                batch.push_back(Neighbor{key, value, nullptr});
            }
            for (const Neighbor &e : batch) {
                if (!PyDict_CheckExact(e.data)) {
                    plain = false;
                    break;
                }
                // The keys table of a dict of five entries takes 120 bytes:
                // two or three cache lines.
                auto keys = reinterpret_cast<std::uintptr_t>(reinterpret_cast<PyDictObject *>(e.data)->ma_keys);
                for (std::uintptr_t line = keys & ~std::uintptr_t{63}; line < keys + 120; line += 64)
                    prefetch(reinterpret_cast<const void *>(line));
            }
        }
        for (std::size_t k = 0; plain && k < batch.size(); ++k) {
            Neighbor &e = batch[k];
            if (!plain_weight(e.data, e.weight)) {
                plain = false;
                break;
            }
            if (e.weight != nullptr) prefetch(e.weight);
        }
        if (!plain) {
            batch.clear();
            object items = PyDict_CheckExact(neighbors.ptr())
                               ? steal_or_raise(PyDict_Items(neighbors.ptr()))
                               : steal_or_raise(PySequence_List(call_method(neighbors, interned("items")).ptr()));
            held.push_back(items);
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
                object seq = steal_or_raise(PySequence_Tuple(PyList_GET_ITEM(items.ptr(), k)));
                if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                    raise_format(PyExc_ValueError, "neighbour entries must be (id, edge data) pairs");
                batch.push_back(Neighbor{PyTuple_GET_ITEM(seq.ptr(), 0), PyTuple_GET_ITEM(seq.ptr(), 1), nullptr});
                held.push_back(std::move(seq));
            }
        }
        bool holding = !plain;
        for (std::size_t k = 0; k < batch.size(); ++k) {
            Neighbor &e = batch[k];
            // Python code may run from the first entry that needs Python's
            // own operations: what is still to come is held from there on.
            auto hold_rest = [&] {
                for (std::size_t r = k; r < batch.size(); ++r)
                    for (PyObject *o : {batch[r].id, batch[r].data, batch[r].weight})
                        if (o != nullptr) held.push_back(nb::borrow(o));
                holding = true;
            };
            if (!holding && e.weight != nullptr && !PyFloat_CheckExact(e.weight)) hold_rest();
            double step;
            object w;
            if (plain) {
                if (e.weight == nullptr) continue;  // no weight: not an edge
                if (PyFloat_CheckExact(e.weight)) {
                    double weight = PyFloat_AS_DOUBLE(e.weight);
                    if (weight <= 0.0) continue;  // so no division by zero; NaN falls through and never improves
                    step = 1.0 / weight;
                } else {
                    w = nb::borrow(e.weight);
                }
            } else {
                w = weight_of(handle(e.data));
                if (!w.is_valid()) continue;
                if (PyFloat_CheckExact(w.ptr())) {
                    double weight = PyFloat_AS_DOUBLE(w.ptr());
                    if (weight <= 0.0) continue;
                    step = 1.0 / weight;
                    w = object();
                }
            }
            if (w.is_valid()) {
                // Other numbers follow Python's own comparison and division.
                if (check(PyObject_RichCompareBool(w.ptr(), zero_int.ptr(), Py_LE)) == 1) continue;
                object inv = steal_or_raise(PyNumber_TrueDivide(one.ptr(), w.ptr()));
                step = PyFloat_AsDouble(inv.ptr());
                if (step == -1.0 && PyErr_Occurred()) raise_pending();
            }
            std::int32_t nb_index = ids.find_address(e.id);
            if (nb_index < 0) {
                // Hashing or comparing an id other than a str may run Python code.
                if (!holding && !PyUnicode_CheckExact(e.id)) hold_rest();
                nb_index = intern(e.id);
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
