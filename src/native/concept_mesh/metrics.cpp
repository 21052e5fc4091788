// Density, centrality, rankings and statistics.
//
// Scores are computed with the interpreter's own arithmetic: sums of floats
// follow builtin `sum` (compensated summation, started from the int 0), and
// every division and product happens in the order of the formulas, so the
// stored values are bit-for-bit those of the equivalent Python code.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace vk::mesh {

namespace {

constexpr double DEGREE_FACTOR = 0.4;
constexpr double WEIGHT_FACTOR = 0.6;
constexpr Py_ssize_t STATS_TOP = 10;

/// Builtin `sum` of a sequence of exact floats: the int start 0 plus the first
/// item, then Neumaier's compensated summation, the compensation added at the
/// end only when it is finite and non-zero.
struct FloatSum {
    double total = 0.0;
    double compensation = 0.0;
    bool started = false;

    void add(double x) {
        if (!started) {
            total = 0.0 + x;
            started = true;
            return;
        }
        double t = total + x;
        if (std::fabs(total) >= std::fabs(x))
            compensation += (total - t) + x;
        else
            compensation += (x - t) + total;
        total = t;
    }
    double result() const {
        double r = total;
        if (compensation != 0.0 && std::isfinite(compensation)) r += compensation;
        return r;
    }
};

/// Weights already read in the current pass, by edge-data dict. Every edge
/// dict is listed by both endpoints; on a mesh larger than the caches the
/// second visit would fetch the dict, its key table and its float again from
/// memory, while this table stays cache-sized. Only valid while no Python code
/// runs, so that no dict can change or be freed (and its address reused).
using WeightMemo = PointerTable<double>;

/// Reads neighbour weights when everything is plain: an exact dict of exact
/// dicts with exact str keys, each with an exact float under "weight".
///
/// On a large mesh the edge-data dicts are scattered over the heap and a pass
/// waits on memory more than it computes, so each node's entries are walked
/// once per level of indirection (dict, key table, float), prefetching the
/// next level for all of them before reading it. Nothing here can run Python
/// code (no hash look-up that could call `__eq__`, no reference released), so
/// the borrowed pointers stay valid during a node's walk.
class PlainReader {
public:
    explicit PlainReader(WeightMemo *memo = nullptr) : memo_(memo) {}

    /// Count and builtin-`sum` of the node's neighbour weights; false (having
    /// changed nothing) when the node needs the generic path.
    bool node_sum(handle node, Py_ssize_t &count, FloatSum &sum) {
        object neighbors = get_attr(node, names.neighbors);
        if (!PyDict_CheckExact(neighbors.ptr())) return false;
        entries_.clear();
        pending_.clear();
        Py_ssize_t pos = 0;
        PyObject *key, *entry;
        while (PyDict_Next(neighbors.ptr(), &pos, &key, &entry)) {
            if (memo_ != nullptr) prefetch(memo_->home_of(entry));
            entries_.push_back(entry);
        }
        const std::size_t n = entries_.size();
        weights_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double *known = memo_ != nullptr ? memo_->find(entries_[i]) : nullptr;
            if (known != nullptr) {
                weights_[i] = *known;
            } else {
                prefetch(entries_[i]);
                pending_.push_back(i);
            }
        }
        for (std::size_t i : pending_) {
            PyObject *e = entries_[i];
            if (!PyDict_CheckExact(e)) return false;
            prefetch_dict_entries(e, 2 * CACHE_LINE);
        }
        found_.resize(n);
        for (std::size_t i : pending_) {
            PyObject *w = nullptr;
            if (!plain_weight(entries_[i], w) || w == nullptr) return false;  // a missing weight raises on the generic path
            prefetch(w);
            found_[i] = w;
        }
        for (std::size_t i : pending_) {
            if (!PyFloat_CheckExact(found_[i])) return false;
            weights_[i] = PyFloat_AS_DOUBLE(found_[i]);
            if (memo_ != nullptr) memo_->put(entries_[i], weights_[i]);
        }
        for (double w : weights_) sum.add(w);
        count = static_cast<Py_ssize_t>(n);
        return true;
    }

private:
    WeightMemo *memo_;
    std::vector<PyObject *> entries_, found_;
    std::vector<std::size_t> pending_;
    std::vector<double> weights_;
};

bool plain_weight_sum(handle node, Py_ssize_t &count, FloatSum &sum) {
    PlainReader reader;
    return reader.node_sum(node, count, sum);
}

/// `[e["weight"] for e in node.neighbors.values()]`, with the interpreter's
/// own look-ups and errors (a missing key raises KeyError).
object weight_list(handle neighbors) {
    object out = steal_or_raise(PyList_New(0));
    for_each(call_method(neighbors, names.values),
             [&](handle entry) { check(PyList_Append(out.ptr(), read_weight(entry).ptr())); });
    return out;
}

/// `max(1, total_conversations)` as a double, for an exact int count; false
/// when the number protocol has to do the division.
bool plain_divisor(handle total, double &divisor) {
    if (!PyLong_CheckExact(total.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(total.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_pending();
    if (overflow < 0 || (overflow == 0 && v <= 1)) {
        divisor = 1.0;
        return true;
    }
    divisor = PyLong_AsDouble(total.ptr());  // OverflowError beyond the float range, as for `x / n`
    if (divisor == -1.0 && PyErr_Occurred()) raise_pending();
    return true;
}

object density_value(handle node) {
    Py_ssize_t count = 0;
    FloatSum sum;
    if (plain_weight_sum(node, count, sum))
        return make_float(count > 0 ? sum.result() / static_cast<double>(count) : 0.0);
    object weights = weight_list(get_attr(node, names.neighbors));
    Py_ssize_t n = PyList_GET_SIZE(weights.ptr());
    if (n == 0) return make_float(0.0);
    object total = call(lookup_builtin(names.sum), weights);
    return steal_or_raise(PyNumber_TrueDivide(total.ptr(), steal_or_raise(PyLong_FromSsize_t(n)).ptr()));
}

object centrality_value(handle node, handle total_conversations) {
    Py_ssize_t count = 0;
    FloatSum sum;
    double divisor = 1.0;
    if (plain_divisor(total_conversations, divisor) && plain_weight_sum(node, count, sum)) {
        double weighted = count > 0 ? sum.result() : 0.0;
        return make_float((static_cast<double>(count) * DEGREE_FACTOR + weighted * WEIGHT_FACTOR) / divisor);
    }
    object neighbors = get_attr(node, names.neighbors);
    object degree = steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(neighbors.ptr()))));
    object weighted = call(lookup_builtin(names.sum), weight_list(neighbors));
    object a = steal_or_raise(PyNumber_Multiply(degree.ptr(), make_float(DEGREE_FACTOR).ptr()));
    object b = steal_or_raise(PyNumber_Multiply(weighted.ptr(), make_float(WEIGHT_FACTOR).ptr()));
    object num = steal_or_raise(PyNumber_Add(a.ptr(), b.ptr()));
    object one = make_int(1);
    handle div = check(PyObject_RichCompareBool(total_conversations.ptr(), one.ptr(), Py_GT)) ? total_conversations
                                                                                              : handle(one);
    return steal_or_raise(PyNumber_TrueDivide(num.ptr(), div.ptr()));
}

/// Below this many neighbour entries a mesh fits the caches and remembering
/// weights costs more than reading them twice.
constexpr Py_ssize_t MEMO_MIN_ENTRIES = 1 << 15;

/// Both scores of every node of `nodes` (a list), read in one walk of the
/// neighbour entries, without storing anything. Only for exact GraphNode
/// records whose class adds no `neighbors` attribute (so reading it runs no
/// Python code and the weights cannot change during the walk) and plain
/// values; false when anything else is met, and the caller takes the
/// per-node path from the start. `total` is the conversation count, or empty
/// when only densities are wanted.
bool plain_scores(handle nodes, handle total, std::vector<double> &density, std::vector<double> &centrality) {
    double divisor = 1.0;  // without `total` only the densities are wanted
    if (total.is_valid() && !plain_divisor(total, divisor)) return false;
    PyTypeObject *node_type = reinterpret_cast<PyTypeObject *>(state.graph_node_type.ptr());
    if (check(PyObject_HasAttrWithError(state.graph_node_type.ptr(), names.neighbors.ptr()))) return false;
    const Py_ssize_t n = PyList_GET_SIZE(nodes.ptr());
    Py_ssize_t entries = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        handle node = PyList_GET_ITEM(nodes.ptr(), i);
        if (Py_TYPE(node.ptr()) != node_type) return false;
        // A missing attribute is left for the per-node path to report, after
        // the nodes before it have been stored.
        PyObject *raw = nullptr;
        if (PyObject_GetOptionalAttr(node.ptr(), names.neighbors.ptr(), &raw) <= 0) {
            PyErr_Clear();
            return false;
        }
        object neighbors = nb::steal(raw);
        if (!PyDict_CheckExact(neighbors.ptr())) return false;
        entries += PyDict_GET_SIZE(neighbors.ptr());
    }
    std::unique_ptr<WeightMemo> memo;
    if (entries >= MEMO_MIN_ENTRIES) memo = std::make_unique<WeightMemo>(static_cast<std::size_t>(entries / 2));
    PlainReader reader(memo.get());
    density.resize(static_cast<std::size_t>(n));
    centrality.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t count = 0;
        FloatSum sum;
        if (!reader.node_sum(PyList_GET_ITEM(nodes.ptr(), i), count, sum)) return false;
        const double weighted = count > 0 ? sum.result() : 0.0;
        const std::size_t k = static_cast<std::size_t>(i);
        density[k] = count > 0 ? weighted / static_cast<double>(count) : 0.0;
        centrality[k] = (static_cast<double>(count) * DEGREE_FACTOR + weighted * WEIGHT_FACTOR) / divisor;
    }
    return true;
}

/// Stores one score per node, in order, keeping the stored objects.
std::vector<object> store_scores(handle nodes, const std::vector<double> &values, handle attr) {
    std::vector<object> out;
    out.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        out.push_back(make_float(values[i]));
        set_attr(PyList_GET_ITEM(nodes.ptr(), static_cast<Py_ssize_t>(i)), attr, out.back());
    }
    return out;
}

/// One pass over every node, computing and storing one score per node in
/// `nodes` order; a failure leaves the nodes before it updated. Used when the
/// per-node method is the module's own; returns the nodes and their scores.
struct Scored {
    object nodes;                // list
    std::vector<object> scores;  // the objects stored on the nodes
};

Scored score_all(handle self, bool centrality) {
    Scored out;
    out.nodes = values_list(get_attr(self, names.nodes));
    object total = centrality ? get_attr(self, names.total_conversations) : object();
    handle attr = centrality ? names.centrality : names.density;
    std::vector<double> density, central;
    if (plain_scores(out.nodes, total, density, central)) {
        out.scores = store_scores(out.nodes, centrality ? central : density, attr);
        return out;
    }
    out.scores.reserve(static_cast<std::size_t>(PyList_GET_SIZE(out.nodes.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.nodes.ptr()); ++i) {
        object node = nb::borrow(handle(PyList_GET_ITEM(out.nodes.ptr(), i)));
        object value = centrality ? centrality_value(node, total) : density_value(node);
        set_attr(node, attr, value);
        out.scores.push_back(std::move(value));
    }
    return out;
}

/// Calls `self.<per_node>(node)` for every node, through Python (an override).
void score_all_through(handle self, handle per_node) {
    object nodes = get_attr(self, names.nodes);
    for_each(call_method(nodes, names.values), [&](handle node) { call_method(self, per_node, node); });
}

bool density_native(handle self) { return is_exact_with_own_method<def::_calculate_node_density>(self, state.mesh_type); }
bool centrality_native(handle self) {
    return is_exact_with_own_method<def::_calculate_node_centrality>(self, state.mesh_type);
}

/// `calculate_densities()` / `calculate_centralities()` of the mesh.
void recompute(handle self, bool centrality) {
    if (centrality ? centrality_native(self) : density_native(self))
        score_all(self, centrality);
    else
        score_all_through(self, centrality ? names._calculate_node_centrality : names._calculate_node_density);
}

/// `list[:limit]` bounds for a list of n items.
Py_ssize_t slice_stop(handle limit, Py_ssize_t n) {
    Py_ssize_t stop = clamp_to_ssize(limit, PY_SSIZE_T_MIN, PY_SSIZE_T_MAX);
    if (stop < 0) {
        stop += n;
        if (stop < 0) stop = 0;
    }
    return std::min(stop, n);
}

/// [(node.summary, score), ...] for the ranked positions.
object ranking_list(handle nodes, const std::vector<object> &scores, const std::vector<Py_ssize_t> &order) {
    object out = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i) {
        handle node = PyList_GET_ITEM(nodes.ptr(), order[i]);
        object summary = get_attr(node, names.summary);
        PyObject *pair = PyTuple_Pack(2, summary.ptr(), scores[static_cast<std::size_t>(order[i])].ptr());
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), steal_or_raise(pair).release().ptr());
    }
    return out;
}

/// A ranking method: recompute one score for all nodes, rank, cut with slice
/// semantics at `limit`.
object top_nodes(handle self, handle limit, bool centrality) {
    Scored s;
    if (centrality ? centrality_native(self) : density_native(self)) {
        bool whole_native =
            centrality ? is_exact_with_own_method<def::calculate_centralities>(self, state.mesh_type)
                       : is_exact_with_own_method<def::calculate_densities>(self, state.mesh_type);
        if (whole_native) s = score_all(self, centrality);
    }
    if (!s.nodes.is_valid()) {
        call_method(self, centrality ? names.calculate_centralities : names.calculate_densities);
        s.nodes = values_list(get_attr(self, names.nodes));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s.nodes.ptr()); ++i)
            s.scores.push_back(get_attr(PyList_GET_ITEM(s.nodes.ptr(), i), centrality ? names.centrality : names.density));
    }
    Py_ssize_t n = static_cast<Py_ssize_t>(s.scores.size());
    return ranking_list(s.nodes, s.scores, rank_descending(s.scores, slice_stop(limit, n)));
}

// ---------------------------------------------------------------------------
// Statistics

/// `n * (n - 1) / 2` as the interpreter computes it: an exact integer (the
/// product is even) correctly rounded to a float.
double possible_edges(Py_ssize_t n) {
    const unsigned long long u = static_cast<unsigned long long>(n);
    const unsigned long long half = (u % 2 == 0) ? (u / 2) * (u - 1) : u * ((u - 1) / 2);
    return n <= 1 ? 0.0 : static_cast<double>(half);
}

double global_density(handle self, Py_ssize_t n) {
    double possible = possible_edges(n);
    if (!(possible > 0.0)) return 0.0;
    return static_cast<double>(check_size(PyObject_Size(get_attr(self, names.edges).ptr()))) / possible;
}

/// get_stats in one pass over the neighbour entries, taken only when every
/// method it involves is the module's own and every value is plain (exact
/// dicts, GraphNode records, float weights, an int conversation count). The
/// first phase only reads; when anything is not plain it returns an empty
/// object before changing anything, and the general path runs instead.
object stats_one_pass(handle self) {
    if (!density_native(self) || !centrality_native(self) ||
        !is_exact_with_own_method<def::calculate_densities>(self, state.mesh_type) ||
        !is_exact_with_own_method<def::calculate_centralities>(self, state.mesh_type) ||
        !is_exact_with_own_method<def::get_top_density_nodes>(self, state.mesh_type) ||
        !is_exact_with_own_method<def::get_top_centrality_nodes>(self, state.mesh_type) ||
        !is_own_method<def::_density_entropy>(lookup_global(state.module_dict, names._density_entropy), handle()))
        return object();
    object nodes = get_attr(self, names.nodes);
    if (!PyDict_CheckExact(nodes.ptr())) return object();
    object total = get_attr(self, names.total_conversations);
    object list = steal_or_raise(PyDict_Values(nodes.ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    std::vector<double> density, centrality;
    if (!plain_scores(list, total, density, centrality)) return object();

    // Densities of every node first, then centralities, as the two whole-mesh
    // methods store them.
    std::vector<object> density_obj = store_scores(list, density, names.density);
    std::vector<object> centrality_obj = store_scores(list, centrality, names.centrality);

    FloatSum dsum, csum;
    for (double d : density) dsum.add(d);
    for (double c : centrality) csum.add(c);
    const double count_divisor = static_cast<double>(std::max<Py_ssize_t>(1, n));
    object out = steal_or_raise(PyDict_New());
    dict_put(out, names.total_nodes, steal_or_raise(PyLong_FromSsize_t(n)));
    const double gd = global_density(self, n);
    dict_put(out, names.total_edges,
        steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(get_attr(self, names.edges).ptr())))));
    dict_put(out, names.total_conversations, get_attr(self, names.total_conversations));
    dict_put(out, names.avg_density, make_float(n > 0 ? dsum.result() / count_divisor : 0.0));
    dict_put(out, names.avg_centrality, make_float(n > 0 ? csum.result() / count_divisor : 0.0));
    dict_put(out, names.global_density, make_float(gd));
    dict_put(out, names.density_entropy, make_float(density_entropy(density, DEFAULT_BINS, double(DEFAULT_BINS))));
    dict_put(out, names.top_density, ranking_list(list, density_obj, rank_descending(density_obj, STATS_TOP)));
    dict_put(out, names.top_centrality, ranking_list(list, centrality_obj, rank_descending(centrality_obj, STATS_TOP)));
    return out;
}

/// get_stats through the methods of the instance, for subclasses and for
/// meshes holding values the one-pass path does not take.
object stats_general(handle self) {
    call_method(self, names.calculate_densities);
    call_method(self, names.calculate_centralities);
    object list = values_list(get_attr(self, names.nodes));
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    const double gd = global_density(self, n);
    object densities = steal_or_raise(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        check(PyList_Append(densities.ptr(), get_attr(PyList_GET_ITEM(list.ptr(), i), names.density).ptr()));
    object divisor = steal_or_raise(PyLong_FromSsize_t(std::max<Py_ssize_t>(1, n)));

    object out = steal_or_raise(PyDict_New());
    dict_put(out, names.total_nodes, steal_or_raise(PyLong_FromSsize_t(n)));
    dict_put(out, names.total_edges,
        steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(get_attr(self, names.edges).ptr())))));
    dict_put(out, names.total_conversations, get_attr(self, names.total_conversations));
    object dsum = call(lookup_builtin(names.sum), densities);
    dict_put(out, names.avg_density, steal_or_raise(PyNumber_TrueDivide(dsum.ptr(), divisor.ptr())));
    object centralities = steal_or_raise(PyList_New(0));
    object current = values_list(get_attr(self, names.nodes));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(current.ptr()); ++i)
        check(PyList_Append(centralities.ptr(),
                            get_attr(PyList_GET_ITEM(current.ptr(), i), names.centrality).ptr()));
    object csum = call(lookup_builtin(names.sum), centralities);
    dict_put(out, names.avg_centrality, steal_or_raise(PyNumber_TrueDivide(csum.ptr(), divisor.ptr())));
    dict_put(out, names.global_density, make_float(gd));
    dict_put(out, names.density_entropy, call(lookup_global(state.module_dict, names._density_entropy), densities));
    object ten = make_int(STATS_TOP);
    dict_put(out, names.top_density, call_method(self, names.get_top_density_nodes, ten));
    dict_put(out, names.top_centrality, call_method(self, names.get_top_centrality_nodes, ten));
    return out;
}

/// The ids of a set that are nodes of the mesh, with their nodes.
template <typename Fn>
void for_listed_nodes(handle self, handle node_ids, Fn &&fn) {
    require_exact_set(node_ids, "node_ids");
    object nodes = get_attr(self, names.nodes);
    for_each(node_ids, [&](handle id) {
        if (PyDict_CheckExact(nodes.ptr())) {
            handle node = dict_get(nodes, id);
            if (node.is_valid()) fn(object(nb::borrow(node)));
        } else if (contains(nodes, id)) {
            fn(get_item(nodes, id));
        }
    });
}

/// `calculate_densities_for` / `calculate_centralities_for`: each listed
/// node through the per-node method of the instance (its C++ body when that
/// is the module's own).
void score_listed(handle self, handle node_ids, bool centrality) {
    const bool native = centrality ? centrality_native(self) : density_native(self);
    for_listed_nodes(self, node_ids, [&](handle node) {
        if (!native)
            call_method(self, centrality ? names._calculate_node_centrality : names._calculate_node_density, node);
        else if (centrality)
            set_attr(node, names.centrality, centrality_value(node, get_attr(self, names.total_conversations)));
        else
            set_attr(node, names.density, density_value(node));
    });
}

}  // namespace

/// Positions of `scores` in ranking order (highest first; equal scores keep
/// their order), only the first `stop` of them. Plain floats are ranked in C++;
/// anything else (NaN included, whose comparisons are not an order) by the
/// interpreter's own stable sort, so that the result is always the one that
/// `sorted(..., reverse=True)` gives.
std::vector<Py_ssize_t> rank_descending(const std::vector<object> &scores, Py_ssize_t stop) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(scores.size());
    std::vector<Py_ssize_t> order;
    if (stop <= 0) return order;
    std::vector<double> values;
    values.reserve(scores.size());
    bool plain = true;
    for (const object &s : scores) {
        if (!PyFloat_CheckExact(s.ptr()) || std::isnan(PyFloat_AS_DOUBLE(s.ptr()))) {
            plain = false;
            break;
        }
        values.push_back(PyFloat_AS_DOUBLE(s.ptr()));
    }
    if (plain) {
        order.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
        // Ties broken by position: the same order as a stable descending sort.
        auto before = [&](Py_ssize_t a, Py_ssize_t b) {
            double x = values[static_cast<std::size_t>(a)], y = values[static_cast<std::size_t>(b)];
            return x > y || (x == y && a < b);
        };
        if (stop < n) {
            std::partial_sort(order.begin(), order.begin() + stop, order.end(), before);
            order.resize(static_cast<std::size_t>(stop));
        } else {
            std::sort(order.begin(), order.end(), before);
        }
        return order;
    }
    object keys = steal_or_raise(PyList_New(n));
    object positions = steal_or_raise(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(keys.ptr(), i, nb::borrow(scores[static_cast<std::size_t>(i)]).release().ptr());
        PyList_SET_ITEM(positions.ptr(), i, steal_or_raise(PyLong_FromSsize_t(i)).release().ptr());
    }
    object sorted = call_kw(lookup_builtin(names.sorted), {positions},
                            {{names.key, get_attr(keys, names.__getitem__)}, {names.reverse, handle(Py_True)}});
    for (Py_ssize_t i = 0; i < std::min(stop, n); ++i) {
        Py_ssize_t p = PyLong_AsSsize_t(PyList_GET_ITEM(sorted.ptr(), i));
        if (p == -1 && PyErr_Occurred()) raise_pending();
        order.push_back(p);
    }
    return order;
}

/// `calculate_densities()` / `calculate_centralities()`.
template <bool Centrality>
object recompute_all(handle self, const Args &) {
    recompute(self, Centrality);
    return nb::none();
}

/// `calculate_densities_for(node_ids)` / `calculate_centralities_for(node_ids)`.
template <bool Centrality>
object recompute_listed(handle self, const Args &a) {
    score_listed(self, a[0], Centrality);
    return nb::none();
}

constinit Method def::calculate_densities{
    {"calculate_densities", true, {}}, recompute_all<false>,
    "Recompute the density of every node."};

constinit Method def::calculate_centralities{
    {"calculate_centralities", true, {}}, recompute_all<true>,
    "Recompute the centrality of every node."};

constinit Method def::calculate_densities_for{
    {"calculate_densities_for", true, {req("node_ids")}}, recompute_listed<false>,
    "Recompute the density of the listed nodes; unknown ids are ignored."};

constinit Method def::calculate_centralities_for{
    {"calculate_centralities_for", true, {req("node_ids")}}, recompute_listed<true>,
    "Recompute the centrality of the listed nodes; unknown ids are ignored."};

object ConceptMesh_calculate_node_density(handle, const Args &a) {
    set_attr(a[0], names.density, density_value(a[0]));
    return nb::none();
}

constinit Method def::_calculate_node_density{
    {"_calculate_node_density", false, {req("node")}}, ConceptMesh_calculate_node_density,
    "Store the mean weight of the node's edges (0.0 without edges) as its density.", METH_STATIC};

object ConceptMesh_calculate_node_centrality(handle self, const Args &a) {
    set_attr(a[0], names.centrality, centrality_value(a[0], get_attr(self, names.total_conversations)));
    return nb::none();
}

constinit Method def::_calculate_node_centrality{
    {"_calculate_node_centrality", true, {req("node")}}, ConceptMesh_calculate_node_centrality,
    "Store (degree * 0.4 + total weight * 0.6) / max(1, total_conversations)."};

object ConceptMesh_get_top_density_nodes(handle self, const Args &a) {
    object limit = a.given(0) ? to_int_arg(a[0], "limit") : make_int(20);
    return top_nodes(self, limit, false);
}

constinit Method def::get_top_density_nodes{
    {"get_top_density_nodes", true, {opt("limit", "20")}}, ConceptMesh_get_top_density_nodes,
    "Recompute densities; (summary, density) pairs, densest first."};

object ConceptMesh_get_top_centrality_nodes(handle self, const Args &a) {
    object limit = a.given(0) ? to_int_arg(a[0], "limit") : make_int(20);
    return top_nodes(self, limit, true);
}

constinit Method def::get_top_centrality_nodes{
    {"get_top_centrality_nodes", true, {opt("limit", "20")}}, ConceptMesh_get_top_centrality_nodes,
    "Recompute centralities; (summary, centrality) pairs, most central first."};

object ConceptMesh_get_stats(handle self, const Args &) {
    object fast = stats_one_pass(self);
    if (fast.is_valid()) return fast;
    return stats_general(self);
}

constinit Method def::get_stats{
    {"get_stats", true, {}}, ConceptMesh_get_stats,
    "Recompute both scores and return the statistics dict."};

}  // namespace vk::mesh
