// add_conversation: one session against every other node of the mesh, with
// the similarity of each pair computed here while the package's own cosine
// helper is bound.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/cosine.hpp"
#include "common/errors.hpp"
#include "concept_mesh/kernel.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"
#include "concept_mesh/vector_cache.hpp"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace vk::mesh {

namespace {

/// The package's own cosine helper (from its native embeddings module), or an
/// invalid handle when that module cannot be imported.
handle own_cosine_helper() {
    static handle helper = [] {
        object name = package_module_name(state.module_name, 2, "utils._embeddings");
        object module = import_optional(name);
        if (!module.is_valid()) return handle();
        // The module's own function, not a replacement bound in its place.
        object fn = get_attr(module, names.cosine_similarity);
        return is_module_function(fn, name, "cosine_similarity") ? fn.release() : handle();
    }();
    return helper;
}

/// The session's vector as the package's own helper reads it. While that
/// helper is bound, the similarity with another node is computed here from
/// the two lists as they are at that moment, with the helper's own arithmetic
/// (so with its result); inputs it treats otherwise are left to the helper.
class SessionVector {
public:
    static constexpr std::size_t LANES = CosineLanes::count;

    explicit SessionVector(handle embedding) : embedding_(embedding) {}

    /// Python code may have run: the list is read again before its next use.
    void invalidate() { fresh_ = false; }

    /// True when the helper's result with `other` (an exact list) is
    /// certainly below `threshold` (or the threshold is NaN, which no
    /// similarity reaches): the helper would compute it without raising and
    /// the kept single-precision copy is far enough below, rounding included.
    bool certainly_below(VectorCache &kept, PyObject *other, double threshold) {
        if (!fresh_) read();
        double dot = 0.0, norm = 0.0;
        if (kind_ != Kind::floats || !screened_ || !kept.dot(other, x_.data(), x_.size(), dot, norm)) return false;
        if (std::isnan(threshold)) return true;
        double scale = plain_norm_ * norm;
        return dot + SCREEN_MARGIN * scale < threshold * scale;
    }

    /// True with `sim` set when the similarity with `other` is decided here
    /// (false leaves it to the helper).
    bool similarity(handle other, double &sim) {
        object list = nb::borrow(other);
        bool decided = false;
        similarities(&list, 1, &sim, &decided);
        return decided;
    }

    /// For each of `count` <= LANES other vectors: decided[v], with sim[v]
    /// set, when the similarity is decided here; false leaves it to the helper.
    void similarities(const object *others, std::size_t count, double *sim, bool *decided) {
        if (!fresh_) read();
        std::size_t n = x_.size();
        double max[LANES] = {}, pre[LANES] = {1.0, 1.0, 1.0, 1.0}, scale[LANES] = {1.0, 1.0, 1.0, 1.0};
        bool lane[LANES] = {};
        for (std::size_t v = 0; v < count; ++v) {
            decided[v] = true;
            sim[v] = 0.0;
            PyObject *other = others[v].ptr();
            if (kind_ == Kind::empty) continue;  // a falsy first vector: the helper looks no further
            if (kind_ == Kind::other || !PyList_CheckExact(other)) {
                decided[v] = false;
                continue;
            }
            auto m = static_cast<std::size_t>(PyList_GET_SIZE(other));
            if (m == 0 || m != n) continue;  // empty, or of another width
            lane[v] = cosine::unpack(other, n, lanes_.data() + v, max[v], LANES);
            decided[v] = false;
            cosine::NormScale s(max[v]);
            pre[v] = s.pre;
            scale[v] = s.scale;
        }
        CosineLanes sums;
        if (!cosine_lanes(x_.data(), lanes_.data(), pre, scale, n, sums)) {
            for (std::size_t v = 0; v < count; ++v)
                if (lane[v]) decided[v] = similarity_of_column(v, max[v], sim[v]);
            return;
        }
        for (std::size_t v = 0; v < count; ++v) {
            if (!lane[v]) continue;
            double norm = max[v] == 0.0 || n <= 1
                              ? max[v]
                              : cosine::finish_norm(sums.csum[v], sums.frac1[v], sums.frac2[v], cosine::NormScale(max[v]));
            cosine::Threefold t{sums.hi[v], sums.lo[v], sums.tiny[v]};
            decided[v] = cosine::finish_similarity(norm_, norm, t, sim[v]);
        }
    }

private:
    enum class Kind { empty, floats, other };

    void read() {
        fresh_ = true;
        PyObject *e = embedding_.ptr();
        if (e == Py_None || (PyList_CheckExact(e) && PyList_GET_SIZE(e) == 0)) {
            kind_ = Kind::empty;
            return;
        }
        kind_ = Kind::other;
        if (!PyList_CheckExact(e)) return;
        auto n = static_cast<std::size_t>(PyList_GET_SIZE(e));
        x_.resize(n);
        lanes_.assign(n * LANES, 0.0);
        column_.resize(n);
        if (!cosine::unpack(e, n, x_.data(), max_)) return;
        norm_ = cosine::norm(x_.data(), n, max_);
        kind_ = Kind::floats;
        double squares = 0.0;
        for (double v : x_) squares += v * v;
        plain_norm_ = std::sqrt(squares);
        screened_ = plain_norm_ >= SCREEN_MIN_NORM && plain_norm_ <= SCREEN_MAX_NORM;
    }

    /// The scalar computation for the vector in lane `v`.
    bool similarity_of_column(std::size_t v, double max, double &sim) {
        std::size_t n = x_.size();
        for (std::size_t k = 0; k < n; ++k) column_[k] = lanes_[k * LANES + v];
        return cosine::similarity(x_.data(), max_, column_.data(), max, n, sim);
    }

    handle embedding_;
    Kind kind_ = Kind::other;
    std::vector<double> x_, lanes_, column_;  // lanes_: component k of lane v at [k * LANES + v]
    double max_ = 0.0, norm_ = 0.0, plain_norm_ = 0.0;
    bool fresh_ = false, screened_ = false;
};

/// Prefetch hints for the pair loop over an exact dict of nodes. Each pair
/// reads memory scattered across the heap (the node's record, its lists, the
/// kept copy of its vector), one dependent load after another. Cursors walk
/// the dict a few entries ahead of the loop and ask for that memory in steps,
/// each reading what the one before asked for. Hints only: a cursor that lost
/// its place (the dict changed) costs nothing but useless hints.
class Prefetcher {
public:
    Prefetcher(handle nodes, VectorCache *kept)
        : nodes_(PyDict_CheckExact(nodes.ptr()) && kept != nullptr &&
                           plain_attribute(state.graph_node_type, names.embedding)
                       ? nodes.ptr()
                       : nullptr),
          kept_(kept) {
        if (nodes_ == nullptr) return;
        for (std::size_t k = 0; k < RECORD_AHEAD; ++k) prefetch_record();
        for (std::size_t k = 0; k < LIST_AHEAD; ++k) read_list(k);
    }

    /// The loop reaches its next entry (entry `step_` of the dict).
    void step() {
        if (nodes_ == nullptr) return;
        prefetch_record();  // entry step_ + RECORD_AHEAD
        read_list(step_);   // entry step_ + LIST_AHEAD, in the slot entry step_ leaves
        if (const object &mid = lists_[(step_ + LIST_AHEAD / 2) % LIST_AHEAD]; mid.is_valid()) {
            prefetch_range(reinterpret_cast<PyListObject *>(mid.ptr())->ob_item, 4 * CACHE_LINE);
            kept_->prefetch_record(mid.ptr());
        }
        if (const object &near = lists_[(step_ + LIST_AHEAD - 1) % LIST_AHEAD]; near.is_valid())
            kept_->prefetch_components(near.ptr());
        ++step_;
    }

private:
    static constexpr std::size_t RECORD_AHEAD = 10, LIST_AHEAD = 6;
    /// A node and the attribute values kept inline after it.
    static constexpr std::size_t RECORD_BYTES = 5 * CACHE_LINE / 2;
    void prefetch_record() {
        if (PyObject *node = advance(record_pos_))
            prefetch_instance(node, RECORD_BYTES);
    }

    /// The next entry's vector list, held (Python code may run before its turn).
    void read_list(std::size_t slot) {
        object &list = lists_[slot % LIST_AHEAD];
        PyObject *node = advance(list_pos_);
        list = node != nullptr && Py_IS_TYPE(node, node_type()) ? embedding_of(node) : object();
        if (list.is_valid()) {
            prefetch(list.ptr());
            kept_->prefetch_slot(list.ptr());
        }
    }

    static PyTypeObject *node_type() { return reinterpret_cast<PyTypeObject *>(state.graph_node_type.ptr()); }

    static object embedding_of(PyObject *node) {
        PyObject *value = PyObject_GenericGetAttr(node, names.embedding.ptr());
        if (value == nullptr) {
            PyErr_Clear();  // a hint only: the loop meets the error itself
            return object();
        }
        object list = nb::steal(value);
        return PyList_CheckExact(list.ptr()) ? list : object();
    }

    PyObject *advance(Py_ssize_t &pos) const {
        PyObject *key = nullptr, *value = nullptr;
        return PyDict_Next(nodes_, &pos, &key, &value) ? value : nullptr;
    }

    PyObject *nodes_;
    VectorCache *kept_;
    Py_ssize_t record_pos_ = 0, list_pos_ = 0;
    std::size_t step_ = 0;
    object lists_[LIST_AHEAD];
};

/// The pair loop of add_conversation for one session node.
///
/// Most pairs of a large mesh share nothing, fall under the threshold and
/// have no edge: their update would compute weight 0 and find nothing to
/// remove. Such a pair is recognised without the update when the update could
/// run no Python code (float tuning values, plain dicts), which is checked
/// again whenever Python code may have run (a helper or an overridden method).
class SessionEdges {
public:
    SessionEdges(handle self, handle node, handle nodes)
        : self_(self), session_id_(get_attr(node, names.session_id)), tags_(get_attr(node, names.tags)),
          entities_(get_attr(node, names.entities)), key_points_(get_attr(node, names.key_points)),
          embedding_(get_attr(node, names.embedding)), vector_(embedding_),
          native_update_(is_exact_with_own_method<def::_update_edge>(self, state.mesh_type)),
          kept_(native_update_ ? vector_cache(self) : nullptr), prefetcher_(nodes, kept_) {
        if (kept_ != nullptr) kept_->start_pass();
    }

    /// Every node was visited: copies of vectors no longer in the mesh are dropped.
    void finish() {
        if (kept_ != nullptr) kept_->finish_pass();
    }

    void visit(handle other_id, handle other) {
        prefetcher_.step();
        if (check(PyObject_RichCompareBool(other_id.ptr(), session_id_.ptr(), Py_EQ))) return;
        Py_ssize_t st = intersection_size(tags_, get_attr(other, names.tags));
        Py_ssize_t se = intersection_size(entities_, get_attr(other, names.entities));
        Py_ssize_t sk = intersection_size(key_points_, get_attr(other, names.key_points));
        object other_embedding = get_attr(other, names.embedding);
        object helper = lookup_global(state.module_dict, names.cosine_similarity);
        bool own = helper.is(own_cosine_helper());
        bool nothing_shared = st == 0 && se == 0 && sk == 0;
        if (own && nothing_shared && kept_ != nullptr && screen_is_plain() && listed_nowhere(other_id, other) &&
            PyList_CheckExact(other_embedding.ptr()) &&
            vector_.certainly_below(*kept_, other_embedding.ptr(), screen_.threshold))
            return;
        double sim = 0.0;
        object sim_obj;
        if (!(own && vector_.similarity(other_embedding, sim))) {
            sim_obj = call(helper, embedding_, other_embedding);
            python_may_have_run();
        }
        if (native_update_ && !sim_obj.is_valid() && nothing_shared && screen_is_plain() &&
            !(sim >= screen_.threshold) && listed_nowhere(other_id, other))
            return;
        object sto = steal_or_raise(PyLong_FromSsize_t(st));
        object seo = steal_or_raise(PyLong_FromSsize_t(se));
        object sko = steal_or_raise(PyLong_FromSsize_t(sk));
        if (!sim_obj.is_valid()) sim_obj = make_float(sim);
        if (native_update_) {
            update_edge_from_args(self_, session_id_, other_id, sto, seo, sko, sim_obj);
            if (!screen_.plain) python_may_have_run();
        } else {
            call_method(self_, names._update_edge, session_id_, other_id, sto, seo, sko, sim_obj);
            python_may_have_run();
        }
    }

private:
    /// What the update of a pair with nothing shared reads, when it is plain.
    struct Screen {
        bool fresh = false, plain = false;
        double threshold = 0.0;
        object edges, neighbors;  // `self.edges`; the session's neighbours as the update finds them
    };

    void python_may_have_run() {
        vector_.invalidate();
        screen_.fresh = false;
    }

    void refresh_screen() {
        screen_ = Screen{};
        screen_.fresh = true;
        object thr = get_attr(self_, names.similarity_threshold);
        for (handle name : {names.tag_weight, names.entity_weight, names.key_point_weight})
            if (!PyFloat_CheckExact(get_attr(self_, name).ptr())) return;
        object nodes = get_attr(self_, names.nodes);
        object edges = get_attr(self_, names.edges);
        if (!PyFloat_CheckExact(thr.ptr()) || !PyDict_CheckExact(nodes.ptr()) || !PyDict_CheckExact(edges.ptr()) ||
            !PyUnicode_CheckExact(session_id_.ptr()))
            return;
        handle node = dict_get(nodes, session_id_);
        if (!node.is_valid()) return;
        object neighbors = get_attr(node, names.neighbors);
        if (!PyDict_CheckExact(neighbors.ptr())) return;
        screen_.threshold = PyFloat_AS_DOUBLE(thr.ptr());
        screen_.edges = std::move(edges);
        screen_.neighbors = std::move(neighbors);
        screen_.plain = true;
    }

    /// Whether the update of a pair with nothing shared could run no Python
    /// code; then it changes nothing when the similarity is below the
    /// threshold and the pair is listed nowhere.
    bool screen_is_plain() {
        if (!screen_.fresh) refresh_screen();
        return screen_.plain;
    }

    /// True when neither `edges` nor either node's neighbours list the pair
    /// (for a plain screen).
    bool listed_nowhere(handle other_id, handle other) {
        if (!PyUnicode_CheckExact(other_id.ptr())) return false;
        object other_neighbors = get_attr(other, names.neighbors);
        if (!PyDict_CheckExact(other_neighbors.ptr()) ||
            check(PyDict_Contains(other_neighbors.ptr(), session_id_.ptr())) ||
            check(PyDict_Contains(screen_.neighbors.ptr(), other_id.ptr())))
            return false;
        int cmp = PyUnicode_Compare(session_id_.ptr(), other_id.ptr());
        if (cmp == -1 && PyErr_Occurred()) raise_pending();
        object key = steal_or_raise(cmp < 0 ? PyTuple_Pack(2, session_id_.ptr(), other_id.ptr())
                                            : PyTuple_Pack(2, other_id.ptr(), session_id_.ptr()));
        return !check(PyDict_Contains(screen_.edges.ptr(), key.ptr()));
    }

    handle self_;
    object session_id_, tags_, entities_, key_points_, embedding_;
    SessionVector vector_;
    bool native_update_;
    VectorCache *kept_;
    Prefetcher prefetcher_;
    Screen screen_;
};

}  // namespace

object ConceptMesh_add_conversation(handle self, const Args &a) {
    handle memoria = a[0];
    require_exact_dict(memoria, "memoria");

    object node = ensure_node(self, memoria);
    object nodes = get_attr(self, names.nodes);
    set_attr(self, names.total_conversations,
             steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(nodes.ptr())))));

    // The session's own fields are read once; the other node's at every pair.
    SessionEdges session(self, node, nodes);
    // A dict items iterator, so that a helper that adds or drops nodes while
    // the loop runs gets the interpreter's "changed size during iteration".
    for_each(call_method(nodes, names.items), [&](handle item) {
        object other_id, other;
        if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
            other_id = nb::borrow(handle(PyTuple_GET_ITEM(item.ptr(), 0)));
            other = nb::borrow(handle(PyTuple_GET_ITEM(item.ptr(), 1)));
        } else {
            object seq = steal_or_raise(PySequence_Tuple(item.ptr()));
            if (PyTuple_GET_SIZE(seq.ptr()) != 2)
                raise_format(PyExc_ValueError, "expected 2 values to unpack (got %zd)", PyTuple_GET_SIZE(seq.ptr()));
            other_id = nb::borrow(handle(PyTuple_GET_ITEM(seq.ptr(), 0)));
            other = nb::borrow(handle(PyTuple_GET_ITEM(seq.ptr(), 1)));
        }
        session.visit(other_id, other);
    });
    session.finish();
    return node;
}

constinit Method def::add_conversation{
    {"add_conversation", true, {req("memoria")}}, ConceptMesh_add_conversation,
    "Add one session and recompute its edges against every other node."};

}  // namespace vk::mesh
