// Strongest path (Dijkstra over 1/weight) and reset.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"
#include "concept_mesh/vector_cache.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace vk::mesh {

namespace {

/// Ids the working tables are first sized for: a search often ends after a
/// few hops, and the tables grow as more ids are reached.
constexpr std::size_t EXPECTED_IDS = 64;

/// The entries table of an edge-data dict (five str keys): a 32-byte header,
/// 8 index bytes and five 16-byte entries.
constexpr std::size_t EDGE_DATA_TABLE_BYTES = 120;

/// One neighbour entry of the node being expanded (borrowed references).
/// `weight` is the value read before any Python code ran, null when absent
/// (entries gathered through the interpreter read it when relaxed);
/// `index` the neighbour's slot when known (-1 otherwise); `settled` marks an
/// entry that can only be skipped (see `Search::settled`).
struct Neighbor {
    PyObject *id, *data, *weight;
    std::int32_t index;
    bool settled;
};

/// Heap entry: a tentative distance and the slot of the node it reaches.
struct Entry {
    double dist;
    std::int32_t node;
};

/// Per-node working state: best distance, predecessor slot, final or not.
struct Slot {
    double distance;
    std::int32_t previous;
    bool visited;
};

/// One call of `shortest_path`. Nodes get dense slots as they are first
/// reached; the source is 0 and the target 1, so that reaching the target is
/// a slot test.
class Search {
public:
    Search(handle nodes, handle source, handle target) : nodes_(nodes), ids_(EXPECTED_IDS) {
        bool inserted = false;
        ids_.intern(source, inserted);
        ids_.intern(target, inserted);
        slots_.push_back(Slot{0.0, -1, false});
        slots_.push_back(Slot{INF, -1, false});
        heap_.push_back(Entry{0.0, 0});
        quiet_ = quiet_start();
    }

    /// Pops until the target is final; false when the heap runs dry first (a
    /// target that was pushed is always popped before that).
    bool run() {
        while (!heap_.empty()) {
            std::pop_heap(heap_.begin(), heap_.end(), Greater{this});
            Entry top = heap_.back();
            heap_.pop_back();
            Slot &slot = slots_[static_cast<std::size_t>(top.node)];
            if (slot.visited) continue;
            slot.visited = true;
            if (top.node == 1) return true;
            expand(top);
        }
        return false;
    }

    /// The ids from the source to the target, following the predecessors.
    object path() const {
        std::vector<std::int32_t> chain;
        for (std::int32_t v = 1; v != 0; v = slots_[static_cast<std::size_t>(v)].previous) chain.push_back(v);
        chain.push_back(0);
        object result = steal_or_raise(PyList_New(0));
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            check(PyList_Append(result.ptr(), ids_.key(*it).ptr()));
        return result;
    }

private:
    static constexpr double INF = std::numeric_limits<double>::infinity();

    /// std heap functions keep the largest on top: "greater" makes a min-heap.
    /// Entries compare as (distance, session id): equal distances pop the
    /// smaller id first. Ids other than str compare through Python.
    struct Greater {
        const Search *search;
        bool operator()(const Entry &x, const Entry &y) const {
            if (x.dist != y.dist) return x.dist > y.dist;
            handle lower = search->ids_.key(y.node), higher = search->ids_.key(x.node);
            if (search->str_ids_ || (PyUnicode_CheckExact(lower.ptr()) && PyUnicode_CheckExact(higher.ptr())))
                return PyUnicode_Compare(lower.ptr(), higher.ptr()) < 0;
            return check(PyObject_RichCompareBool(lower.ptr(), higher.ptr(), Py_LT)) == 1;
        }
    };

    /// Whether the walk starts quiet: `nodes` a dict of str keys (finding a
    /// node compares str only) and a record class that hands out `neighbors`
    /// from the instance, so that expanding a node of that class runs no
    /// Python code.
    bool quiet_start() const {
        if (!PyDict_CheckExact(nodes_.ptr()) || !plain_attribute(state.graph_node_type, names.neighbors)) return false;
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(nodes_.ptr(), &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    /// The slot of `id`, interning it when first met.
    std::int32_t slot_of(PyObject *id) {
        std::int32_t index = ids_.find_address(id);
        if (index >= 0) return index;
        bool fresh = false;
        index = ids_.intern(handle(id), fresh);
        if (fresh) {
            slots_.push_back(Slot{INF, -1, false});
            if (!PyUnicode_CheckExact(id)) str_ids_ = quiet_ = false;  // comparing it runs Python code
        }
        return index;
    }

    void expand(const Entry &top) {
        object node = get_item(nodes_, ids_.key(top.node));
        if (Py_TYPE(node.ptr()) != reinterpret_cast<PyTypeObject *>(state.graph_node_type.ptr())) quiet_ = false;
        object neighbors = get_attr(node, names.neighbors);
        batch_.clear();
        held_.clear();
        bool plain = gather_plain(neighbors);
        if (!plain) gather_generic(neighbors);
        relax(top, plain);
    }

    /// The entries of a plain dict of plain edge-data dicts, with their
    /// weights, read without running any Python code so that the borrowed
    /// references stay valid; false (the caller starts over generically) when
    /// anything else is met.
    ///
    /// The edge-data dicts and weights are scattered through memory: each
    /// level (dict, entries table, float) is asked for across all entries
    /// before the next is read, so that the loads overlap. Entries to nodes
    /// already final are settled first: their edge data was read plainly from
    /// the other end, so they can only be skipped and are not read again.
    bool gather_plain(handle neighbors) {
        if (!str_ids_ || !PyDict_CheckExact(neighbors.ptr())) return false;
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(neighbors.ptr(), &pos, &key, &value)) {
            if (quiet_) prefetch(settled_.home_of(value));
            batch_.push_back(Neighbor{key, value, nullptr, -1, false});
        }
        for (Neighbor &e : batch_) {
            // Ids met before are found by address, without reading them.
            e.index = ids_.find_address(e.id);
            if (e.index < 0 && !PyUnicode_CheckExact(e.id)) return false;
            e.settled = quiet_ && e.index >= 0 && slots_[static_cast<std::size_t>(e.index)].visited &&
                        settled_.contains(e.data);
            if (!e.settled) prefetch(e.data);
        }
        for (const Neighbor &e : batch_) {
            if (e.settled) continue;
            if (!PyDict_CheckExact(e.data)) return false;
            prefetch_dict_entries(e.data, EDGE_DATA_TABLE_BYTES);
        }
        for (Neighbor &e : batch_) {
            if (e.settled) continue;
            if (!plain_weight(e.data, e.weight)) return false;
            if (e.weight != nullptr) prefetch(e.weight);
        }
        return true;
    }

    /// `neighbors.items()` through the interpreter, every entry held.
    void gather_generic(handle neighbors) {
        quiet_ = false;
        batch_.clear();
        object items = PyDict_CheckExact(neighbors.ptr())
                           ? steal_or_raise(PyDict_Items(neighbors.ptr()))
                           : steal_or_raise(PySequence_List(call_method(neighbors, names.items).ptr()));
        held_.push_back(items);
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
            object pair = steal_or_raise(PySequence_Tuple(PyList_GET_ITEM(items.ptr(), k)));
            if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                raise_format(PyExc_ValueError, "neighbour entries must be (id, edge data) pairs");
            batch_.push_back(Neighbor{PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1), nullptr, -1,
                                      false});
            held_.push_back(std::move(pair));
        }
    }

    /// Holds the entries from `k` on: Python code may run from here, and
    /// whatever was read before it is read again.
    void hold_from(std::size_t k) {
        for (std::size_t r = k; r < batch_.size(); ++r) {
            held_.push_back(nb::borrow(batch_[r].id));
            held_.push_back(nb::borrow(batch_[r].data));
        }
        quiet_ = false;
    }

    /// `1.0 / weight` of an entry, or false when the entry is no edge (weight
    /// absent, not above 0). `fresh`: read the weight now, through the
    /// interpreter, as code may have run since the entry was gathered.
    bool step_of(const Neighbor &e, bool fresh, double &step) {
        object w;
        PyObject *weight = e.weight;
        if (fresh) {
            w = read_weight(handle(e.data), zero_float_);
            weight = w.ptr();
        }
        if (weight == nullptr) return false;
        if (PyFloat_CheckExact(weight)) {
            double value = PyFloat_AS_DOUBLE(weight);
            if (value <= 0.0) return false;  // so no division by zero; NaN falls through and never improves
            step = 1.0 / value;
            return true;
        }
        // Other numbers follow Python's own comparison and division.
        if (check(PyObject_RichCompareBool(weight, zero_int_.ptr(), Py_LE)) == 1) return false;
        object inv = steal_or_raise(PyNumber_TrueDivide(one_.ptr(), weight));
        step = PyFloat_AsDouble(inv.ptr());
        if (step == -1.0 && PyErr_Occurred()) raise_pending();
        return true;
    }

    void relax(const Entry &top, bool plain) {
        bool holding = !plain;
        for (std::size_t k = 0; k < batch_.size(); ++k) {
            const Neighbor &e = batch_[k];
            if (e.settled && !holding) continue;
            if (!holding && e.weight != nullptr && !PyFloat_CheckExact(e.weight)) {
                hold_from(k);
                holding = true;
            }
            double step = 0.0;
            if (!step_of(e, holding, step)) continue;
            std::int32_t index = e.index >= 0 ? e.index : slot_of(e.id);
            Slot &slot = slots_[static_cast<std::size_t>(index)];
            if (slot.visited) continue;
            if (quiet_) settled_.put(e.data, NoValue{});
            double new_dist = top.dist + step;
            // Strictly shorter only: an equally short later route keeps the first predecessor.
            if (new_dist < slot.distance) {
                slot.distance = new_dist;
                slot.previous = top.node;
                heap_.push_back(Entry{new_dist, index});
                std::push_heap(heap_.begin(), heap_.end(), Greater{this});
            }
        }
    }

    handle nodes_;
    KeyTable ids_;
    std::vector<Slot> slots_;
    std::vector<Entry> heap_;
    std::vector<Neighbor> batch_;
    std::vector<object> held_;
    /// Edge-data dicts whose weight was read plainly (a float or no weight),
    /// valid while `quiet_`: no Python code has run during the walk, so none
    /// of them can have changed (or been freed and its address reused).
    PointerSet settled_{EXPECTED_IDS};
    bool quiet_ = false;
    /// Every id interned is an exact str: heap order and look-ups compare str only.
    bool str_ids_ = true;
    object one_ = make_float(1.0), zero_float_ = make_float(0.0), zero_int_ = make_int(0);
};

}  // namespace

object ConceptMesh_shortest_path(handle self, const Args &a) {
    handle source_id = a[0], target_id = a[1];
    require_exact_str(source_id, "source_id");
    require_exact_str(target_id, "target_id");

    object nodes = get_attr(self, names.nodes);
    if (!contains(nodes, source_id) || !contains(nodes, target_id)) return steal_or_raise(PyList_New(0));
    if (PyUnicode_Compare(source_id.ptr(), target_id.ptr()) == 0) {
        object alone = steal_or_raise(PyList_New(1));
        PyList_SET_ITEM(alone.ptr(), 0, Py_NewRef(source_id.ptr()));
        return alone;
    }
    Search search(nodes, source_id, target_id);
    if (!search.run()) return steal_or_raise(PyList_New(0));
    return search.path();
}

constinit Method def::shortest_path{
    {"shortest_path", true, {req("source_id"), req("target_id")}}, ConceptMesh_shortest_path,
    "The strongest chain of session ids from source to target (edge distance 1/weight), "
    "or [] when there is none."};

object ConceptMesh_clear(handle self, const Args &) {
    // Emptied in place: callers holding these dicts see them empty.
    for (handle name : {names.nodes, names.edges}) {
        object d = get_attr(self, name);
        if (PyDict_CheckExact(d.ptr()))
            PyDict_Clear(d.ptr());
        else
            call_method(d, names.clear);
    }
    set_attr(self, names.total_conversations, make_int(0));
    drop_vector_cache(self);
    return nb::none();
}

constinit Method def::clear{
    {"clear", true, {}}, ConceptMesh_clear,
    "Remove every node and edge; tuning values are kept."};

}  // namespace vk::mesh
