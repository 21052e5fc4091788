// Similarity matrix and batch construction (add_conversations).
//
// Both work from the vectors held in one contiguous float64 buffer per width
// group and take their dot products a block of rows at a time: numpy's matrix
// product (an optimised BLAS) when numpy is importable, the portable kernel
// otherwise. The batch path never holds more than one block of similarities,
// so its memory grows with the number of sessions times the vector width.
//
// A similarity is dot(x, y) / (|x| * |y|), the per-pair formula, on vectors
// scaled by a power of two (exactly) to a largest component below 1: no sum
// of squares overflows or underflows, and vectors whose products are exact
// (integer or short components) get bit for bit the per-pair value, so a
// cosine of exactly 0 or exactly the threshold decides a pair the same way.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/holders.hpp"
#include "concept_mesh/kernel.hpp"
#include "concept_mesh/keytable.hpp"
#include "concept_mesh/mesh.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vk::mesh {

namespace {

/// About this many bytes of similarities are computed per block.
constexpr std::size_t BLOCK_BYTES = std::size_t{16} << 20;

bool is_double_format(const char *format) {
    return format != nullptr && (std::strcmp(format, "d") == 0 || std::strcmp(format, "<d") == 0 ||
                                 std::strcmp(format, "=d") == 0 || std::strcmp(format, "@d") == 0);
}

object size_object(std::size_t n) { return steal_or_raise(PyLong_FromSize_t(n)); }

/// Scales `x` in place by the power of two that brings its largest
/// component into [0.5, 1) and returns its Euclidean norm after scaling; 0.0
/// for a zero vector. Vectors with an infinite or NaN component are left as
/// they are (their similarities come out NaN or 0.0, as per pair).
double scale_and_norm(double *x, std::size_t width) {
    double m = 0.0;
    bool finite = true;
    for (std::size_t k = 0; k < width; ++k) {
        double a = std::fabs(x[k]);
        if (!(a <= 1.7976931348623157e308)) finite = false;  // inf or NaN
        else if (a > m) m = a;
    }
    if (finite) {
        if (m == 0.0) return 0.0;
        int e = 0;
        std::frexp(m, &e);
        for (std::size_t k = 0; k < width; ++k) x[k] = std::ldexp(x[k], -e);
    }
    double s0 = 0.0, s1 = 0.0;
    std::size_t k = 0;
    for (; k + 2 <= width; k += 2) {
        s0 += x[k] * x[k];
        s1 += x[k + 1] * x[k + 1];
    }
    for (; k < width; ++k) s0 += x[k] * x[k];
    return std::sqrt(s0 + s1);
}

/// The vectors of one width, scaled, with their norms.
struct Group {
    std::size_t width = 0;
    std::vector<std::size_t> positions;  // entries of this width, ascending
    std::vector<std::size_t> row_pos;   // those with a non-zero norm, ascending; row u is row_pos[u]
    std::vector<double> norms;           // norm of row u
    std::vector<double> inv_norms;       // 1 / norm of row u
    // Rows: a numpy array when numpy does the products, else `own`.
    object array;
    Buffer array_view;
    std::vector<double> own;
    double *rows = nullptr;
    // The block of products for rows [r0, r1) against columns [r0, count).
    std::size_t r0 = 0, r1 = 0, ld = 0, block_rows = 0;
    object out_array;
    Buffer out_view;
    std::vector<double> out_own;
    double *out = nullptr;

    std::size_t count() const { return row_pos.size(); }
    /// Dot product of rows u (inside the current block) and v >= r0.
    double dot(std::size_t u, std::size_t v) const { return out[(u - r0) * ld + (v - r0)]; }
    /// Similarity of rows u (inside the current block) and v >= r0.
    double similarity(std::size_t u, std::size_t v) const { return dot(u, v) / (norms[u] * norms[v]); }
};

/// One component as a float64 without calling into Python; false when the
/// value needs the general conversion.
bool plain_component(PyObject *x, double &out) {
    if (PyFloat_CheckExact(x)) {
        out = PyFloat_AS_DOUBLE(x);
        return true;
    }
    if (PyLong_CheckExact(x)) {
        out = PyLong_AsDouble(x);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

/// Copies a list or tuple of plain numbers of the group's width into `row`.
bool fill_plain(handle vec, std::size_t width, double *row) {
    PyObject *v = vec.ptr();
    if (!PyList_CheckExact(v) && !PyTuple_CheckExact(v)) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(v)) != width) return false;
    PyObject **items = PySequence_Fast_ITEMS(v);
    for (std::size_t k = 0; k < width; ++k)
        if (!plain_component(items[k], row[k])) return false;
    return true;
}

/// The interpreted conversion: each component is squared with Python's own
/// arithmetic first, so that a component that is not a number fails with the
/// arithmetic error, then converted to float64.
void fill_interpreted(handle vec, std::size_t width, double *row) {
    object seq = steal_or_raise(PySequence_Tuple(vec.ptr()));
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(seq.ptr())) != width)
        raise_format(PyExc_ValueError, "an embedding changed its length while it was read");
    for (std::size_t k = 0; k < width; ++k) {
        PyObject *x = PyTuple_GET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(k));
        if (plain_component(x, row[k])) continue;
        steal_or_raise(PyNumber_Multiply(x, x));
        row[k] = to_double(handle(x));
    }
}

/// Exports `array` into `view` as a writable buffer of at least `count`
/// float64 values: the rows are written through it directly, so a replaced
/// `np` whose `empty` returns something smaller must not be written past.
void acquire_doubles(Buffer &view, handle array, std::size_t count) {
    view.acquire(array, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT);
    const Py_buffer &b = view.view();
    if (!is_double_format(b.format) || b.len < 0 ||
        static_cast<std::size_t>(b.len) / sizeof(double) < count)
        raise_format(PyExc_TypeError, "np.empty did not return a float64 array of the requested size");
}

/// numpy's own stacking of the group's vectors (its conversions and errors),
/// copied into the group's rows.
void fill_numpy(Group &g, const std::vector<object> &vectors, handle np) {
    std::size_t count = g.positions.size();
    object list = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t r = 0; r < count; ++r)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(r), Py_NewRef(vectors[g.positions[r]].ptr()));
    object stacked = call_kw(get_attr(np, names.asarray), {list}, {{names.dtype, get_attr(np, names.float64)}});
    stacked = call(get_attr(np, names.ascontiguousarray), stacked);
    Buffer view;
    view.acquire(stacked, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer &b = view.view();
    if (b.ndim != 2 || static_cast<std::size_t>(b.shape[0]) != count ||
        static_cast<std::size_t>(b.shape[1]) != g.width || !is_double_format(b.format))
        raise_format(PyExc_ValueError, "embedding vectors must be flat sequences of numbers");
    if (count * g.width > 0) std::memcpy(g.rows, b.buf, count * g.width * sizeof(double));
}

/// All entries grouped by width, converted to scaled rows.
class ScaledVectors {
public:
    /// Builds the width groups (in order of first appearance); an entry that
    /// is falsy counts as empty.
    explicit ScaledVectors(const std::vector<object> &vectors) : group_of_(vectors.size(), -1) {
        std::unordered_map<std::size_t, std::size_t> by_width;
        for (std::size_t i = 0; i < vectors.size(); ++i) {
            if (!check(PyObject_IsTrue(vectors[i].ptr()))) continue;
            auto width = static_cast<std::size_t>(check_size(PyObject_Size(vectors[i].ptr())));
            auto [it, fresh] = by_width.emplace(width, groups_.size());
            if (fresh) {
                groups_.push_back(std::make_unique<Group>());
                groups_.back()->width = width;
            }
            groups_[it->second]->positions.push_back(i);
            group_of_[i] = static_cast<std::int32_t>(it->second);
        }
        local_of_.assign(vectors.size(), -1);
    }

    std::size_t group_count() const { return groups_.size(); }
    Group &group(std::size_t k) { return *groups_[k]; }

    /// Converts group `k`: stacking, scaling, norms. With numpy the rows
    /// live in a numpy array, so that its matrix product can use them.
    void convert(std::size_t k, const std::vector<object> &vectors, handle np) {
        Group &g = *groups_[k];
        std::size_t count = g.positions.size(), width = g.width;
        if (!np.is_none()) {
            object shape = steal_or_raise(PyTuple_Pack(2, size_object(count).ptr(), size_object(width).ptr()));
            g.array = call(get_attr(np, names.empty), shape);
            acquire_doubles(g.array_view, g.array, count * width);
            g.rows = g.array_view.doubles();
        } else {
            g.own.resize(count * width);
            g.rows = g.own.data();
        }
        bool plain = true;
        for (std::size_t r = 0; r < count && plain; ++r)
            plain = fill_plain(vectors[g.positions[r]], width, g.rows + r * width);
        if (!plain) {
            if (!np.is_none())
                fill_numpy(g, vectors, np);
            else
                for (std::size_t r = 0; r < count; ++r)
                    fill_interpreted(vectors[g.positions[r]], width, g.rows + r * width);
        }
        // Rows of non-zero vectors are packed to the front; zero vectors get
        // none and so score 0.0 against everything.
        for (std::size_t r = 0; r < count; ++r) {
            double *x = g.rows + r * width;
            double norm = scale_and_norm(x, width);
            if (norm == 0.0) continue;
            double *u = g.rows + g.row_pos.size() * width;
            if (u != x) std::memmove(u, x, width * sizeof(double));
            local_of_[g.positions[r]] = static_cast<std::int32_t>(g.row_pos.size());
            g.row_pos.push_back(g.positions[r]);
            g.norms.push_back(norm);
            g.inv_norms.push_back(1.0 / norm);
        }
    }

    /// Chooses the block height once every group is converted: one block of
    /// every group together stays within BLOCK_BYTES.
    void plan_blocks() {
        std::size_t total = 0;
        for (auto &g : groups_) total += g->count();
        std::size_t rows = total == 0 ? 1 : BLOCK_BYTES / (sizeof(double) * total);
        rows = std::clamp<std::size_t>(rows, 16, 1024);
        for (auto &g : groups_) g->block_rows = std::min(rows, std::max<std::size_t>(g->count(), 1));
    }

    /// Makes the block of group `g` that starts at row `u` current.
    void compute_block(Group &g, std::size_t u, handle np) {
        std::size_t count = g.count();
        std::size_t rows = std::min(g.block_rows, count - u);
        std::size_t cols = count - u;
        if (!np.is_none()) {
            if (!g.out_array.is_valid()) {
                object size = size_object(g.block_rows * count);
                g.out_array = call(get_attr(np, names.empty), size);
                acquire_doubles(g.out_view, g.out_array, g.block_rows * count);
                g.out = g.out_view.doubles();
            }
            object lo = size_object(u), mid = size_object(u + rows), hi = size_object(count);
            object a = steal_or_raise(PyObject_GetItem(
                g.array.ptr(), steal_or_raise(PySlice_New(lo.ptr(), mid.ptr(), nullptr)).ptr()));
            object b = steal_or_raise(PyObject_GetItem(
                g.array.ptr(), steal_or_raise(PySlice_New(lo.ptr(), hi.ptr(), nullptr)).ptr()));
            object bt = get_attr(b, names.T);
            object flat = steal_or_raise(PyObject_GetItem(
                g.out_array.ptr(),
                steal_or_raise(PySlice_New(nullptr, size_object(rows * cols).ptr(), nullptr)).ptr()));
            object out = call_method(flat, names.reshape, size_object(rows), size_object(cols));
            call_kw(get_attr(np, names.matmul), {a, bt}, {{names.out, out}});
        } else {
            if (g.out_own.empty()) g.out_own.resize(std::max<std::size_t>(g.block_rows * count, 1));
            g.out = g.out_own.data();
            dot_block(g.rows, g.width, u, u + rows, u, count, g.out, cols);
        }
        g.r0 = u;
        g.r1 = u + rows;
        g.ld = cols;
    }

    /// Prepares the similarities of entry `i` against every later entry;
    /// false when it has no row (a zero or empty vector: all its similarities are 0.0).
    bool prepare_row(std::size_t i, handle np) {
        std::int32_t u = local_of_[i];
        if (u < 0) return false;
        Group &g = *groups_[static_cast<std::size_t>(group_of_[i])];
        auto uu = static_cast<std::size_t>(u);
        if (g.out == nullptr || uu >= g.r1 || uu < g.r0) compute_block(g, uu, np);
        return true;
    }

    /// Similarity of entries i < j; row i must be prepared.
    double similarity(std::size_t i, std::size_t j) const {
        std::int32_t ui = local_of_[i], uj = local_of_[j];
        if (ui < 0 || uj < 0 || group_of_[i] != group_of_[j]) return 0.0;
        const Group &g = *groups_[static_cast<std::size_t>(group_of_[i])];
        return g.similarity(static_cast<std::size_t>(ui), static_cast<std::size_t>(uj));
    }

    std::int32_t group_of(std::size_t i) const { return group_of_[i]; }
    std::int32_t local_of(std::size_t i) const { return local_of_[i]; }

private:
    std::vector<std::unique_ptr<Group>> groups_;
    std::vector<std::int32_t> group_of_;
    std::vector<std::int32_t> local_of_;
};

/// Sets `list[k] = value`, dropping the previous item.
void replace_item(PyObject *list, std::size_t k, PyObject *value) {
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    PyObject *old = items[k];
    items[k] = Py_NewRef(value);
    Py_XDECREF(old);
}

/// Whether `np` is numpy itself with its own matmul and empty, which run no
/// Python code.
bool plain_numpy(handle np) {
    if (!PyModule_CheckExact(np.ptr())) return false;
    object name = get_optional_attr(np, common_names.__name__);
    if (!name.is_valid() || !PyUnicode_CheckExact(name.ptr()) || PyUnicode_CompareWithASCIIString(name.ptr(), "numpy") != 0)
        return false;
    object matmul = get_optional_attr(np, names.matmul);
    object empty = get_optional_attr(np, names.empty);
    return matmul.is_valid() && empty.is_valid() && std::strcmp(Py_TYPE(matmul.ptr())->tp_name, "numpy.ufunc") == 0 &&
           PyCFunction_Check(empty.ptr());
}

/// `sim >= threshold` with the threshold read once. For a float threshold (or
/// any real number with a float conversion whose comparisons agree with it)
/// the test is a float64 comparison against the smallest double that passes;
/// otherwise every test goes through Python's comparison.
class Threshold {
public:
    explicit Threshold(handle value) : value_(nb::borrow(value)) {
        if (PyFloat_CheckExact(value.ptr())) {
            cut_ = PyFloat_AS_DOUBLE(value.ptr());
            exact_ = true;
        } else {
            find_cut();
        }
        zero_passes_ = passes(0.0);
    }

    bool passes(double sim) const {
        if (exact_) return sim >= cut_;
        object s = make_float(sim);
        return check(PyObject_RichCompareBool(s.ptr(), value_.ptr(), Py_GE)) == 1;
    }
    bool exact() const { return exact_; }
    double cut() const { return cut_; }
    bool zero_passes() const { return zero_passes_; }

private:
    bool python_ge(double x) const {
        object s = make_float(x);
        return check(PyObject_RichCompareBool(s.ptr(), value_.ptr(), Py_GE)) == 1;
    }

    void find_cut() {
        double d = PyFloat_AsDouble(value_.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
        if (std::isnan(d)) return;
        // float() of a real number is within an ulp or so of it: walk to the
        // first double that passes, and check that the one below it fails.
        double c = d;
        for (int step = 0; step < 4 && !python_ge(c); ++step) c = std::nextafter(c, INFINITY);
        if (!python_ge(c)) return;
        for (int step = 0; step < 4 && python_ge(std::nextafter(c, -INFINITY)); ++step)
            c = std::nextafter(c, -INFINITY);
        if (python_ge(std::nextafter(c, -INFINITY))) return;
        cut_ = c;
        exact_ = true;
    }

    object value_;
    double cut_ = 0.0;
    bool exact_ = false;
    bool zero_passes_ = false;
};

object similarity_matrix_impl(handle embeddings) {
    require_exact_list(embeddings, "embeddings");
    handle np_name = names.np;
    object np = lookup_global(state.module_dict, np_name);
    std::vector<object> vectors;
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(embeddings.ptr()));
    vectors.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        vectors.push_back(nb::borrow(PyList_GET_ITEM(embeddings.ptr(), static_cast<Py_ssize_t>(i))));

    ScaledVectors scaled(vectors);
    object zero = make_float(0.0);
    object result = steal_or_raise(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *row = PyList_New(static_cast<Py_ssize_t>(n));
        if (row == nullptr) raise_pending();
        for (std::size_t j = 0; j < n; ++j) PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), Py_NewRef(zero.ptr()));
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), row);
    }
    PyObject *const *rows = reinterpret_cast<PyListObject *>(result.ptr())->ob_item;
    // One group at a time, in order of first appearance.
    for (std::size_t k = 0; k < scaled.group_count(); ++k) {
        scaled.convert(k, vectors, np);
        Group &g = scaled.group(k);
        g.block_rows = std::clamp<std::size_t>(BLOCK_BYTES / (sizeof(double) * std::max<std::size_t>(g.count(), 1)),
                                               16, 1024);
        g.block_rows = std::min(g.block_rows, std::max<std::size_t>(g.count(), 1));
        for (std::size_t u = 0; u < g.count(); u += g.block_rows) {
            scaled.compute_block(g, u, np);
            for (std::size_t r = g.r0; r < g.r1; ++r) {
                std::size_t i = g.row_pos[r];
                // The diagonal holds the vector's own cosine with numpy and
                // 0.0 without it, as the two classic paths give it.
                if (!np.is_none()) {
                    object d = make_float(g.similarity(r, r));
                    replace_item(rows[i], i, d.ptr());
                }
                for (std::size_t c = r + 1; c < g.count(); ++c) {
                    std::size_t j = g.row_pos[c];
                    object v = make_float(g.similarity(r, c));
                    replace_item(rows[i], j, v.ptr());
                    replace_item(rows[j], i, v.ptr());
                }
            }
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// Batch construction

/// The nodes of the mesh as the pair loop reads them.
struct NodeFields {
    std::vector<object> ids, tags, entities, key_points;
};

/// Items of one kind (tags, entities or key points): each node's item
/// numbers, and for each item the ascending list of nodes holding it.
struct InvertedIndex {
    std::vector<std::size_t> node_start;   // node i's items: items[node_start[i] .. node_start[i+1])
    std::vector<std::int32_t> items;
    std::vector<std::size_t> post_start;   // item t's nodes: postings[post_start[t] .. post_start[t+1])
    std::vector<std::int32_t> postings;
    std::vector<std::size_t> cursor;       // next posting of item t not yet passed by the row walk

    /// False when a set is not a plain set of str (the general loop then
    /// intersects the objects themselves, with Python's semantics).
    bool build(const std::vector<object> &sets) {
        std::size_t n = sets.size();
        KeyTable table(1024);
        node_start.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            PyObject *s = sets[i].ptr();
            if (!PyAnySet_CheckExact(s)) return false;
            node_start[i] = items.size();
            bool all_str = true;
            for_each(sets[i], [&](handle item) {
                all_str = PyUnicode_CheckExact(item.ptr());
                bool inserted = false;
                if (all_str) items.push_back(table.intern(item, inserted));
                return all_str;
            });
            if (!all_str) return false;
        }
        node_start[n] = items.size();
        std::size_t t_count = table.size();
        post_start.assign(t_count + 1, 0);
        for (std::int32_t t : items) ++post_start[static_cast<std::size_t>(t) + 1];
        for (std::size_t t = 0; t < t_count; ++t) post_start[t + 1] += post_start[t];
        postings.assign(items.size(), 0);
        cursor.assign(post_start.begin(), post_start.end() - 1);
        std::vector<std::size_t> fill(post_start.begin(), post_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t p = node_start[i]; p < node_start[i + 1]; ++p)
                postings[fill[static_cast<std::size_t>(items[p])]++] = static_cast<std::int32_t>(i);
        return true;
    }
};

/// Reads `self.edges` and tells whether a pair of nodes has an edge, as the
/// skip test asks `key in self.edges` with the key of the two ids sorted.
class EdgeProbe {
public:
    explicit EdgeProbe(handle self) : self_(self) { refresh(); }

    /// Re-reads `self.edges`: an overridden edge update may have replaced it.
    void refresh() { edges_ = get_attr(self_, names.edges); }

    bool contains(handle low, handle high) const {
        object key = steal_or_raise(PyTuple_Pack(2, low.ptr(), high.ptr()));
        int found = PyDict_CheckExact(edges_.ptr()) ? PyDict_Contains(edges_.ptr(), key.ptr())
                                                    : PySequence_Contains(edges_.ptr(), key.ptr());
        return check(found) == 1;
    }

    handle edges() const { return edges_; }

private:
    handle self_;
    object edges_;
};

struct Counts {
    std::int32_t tags = 0, entities = 0, key_points = 0;
    bool any() const { return tags != 0 || entities != 0 || key_points != 0; }
};

/// The pair loop for plain data: session ids are distinct str and the item
/// sets plain sets of str. Pairs are visited in (i, j) order, but only the
/// pairs that share an item, pass the threshold or already have an edge are
/// looked at individually.
class PlainPairLoop {
public:
    PlainPairLoop(handle self, handle np, ScaledVectors &scaled, const NodeFields &f, const Threshold &threshold,
                  std::array<InvertedIndex, 3> &index, const std::vector<std::int32_t> &rank)
        : self_(self), np_(np), vectors_(scaled), f_(f), threshold_(threshold), index_(index), rank_(rank),
          n_(f.ids.size()), counts_(n_), mark_(n_, 0), probe_(self) {
        native_ = is_exact_with_own_method<def::_update_edge>(self, state.mesh_type);
    }

    /// Lists, for every pair i < j that has an edge now, j under i. Only valid
    /// when nothing but this loop's own updates changes `edges` meanwhile (the
    /// module's own edge update touches the key of its own pair only); false
    /// when `edges` holds keys that are not pairs of str.
    bool prescan(const KeyTable &ids) {
        handle edges = probe_.edges();
        if (!native_ || !PyDict_CheckExact(edges.ptr())) return false;
        existing_.assign(n_, {});
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(edges.ptr(), &pos, &key, &value)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return false;
            plain_records_ &= Py_IS_TYPE(value, reinterpret_cast<PyTypeObject *>(state.graph_edge_type.ptr()));
            PyObject *a = PyTuple_GET_ITEM(key, 0), *b = PyTuple_GET_ITEM(key, 1);
            if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
            // Only keys in sorted order can equal the key the test forms.
            if (PyUnicode_Compare(a, b) >= 0) continue;
            std::int32_t ia = ids.find(handle(a)), ib = ids.find(handle(b));
            if (ia < 0 || ib < 0) continue;
            auto lo = static_cast<std::size_t>(std::min(ia, ib));
            existing_[lo].push_back(std::max(ia, ib));
        }
        for (auto &list : existing_) std::sort(list.begin(), list.end());
        prescanned_ = true;
        return true;
    }

    /// Reads once what the edge updates read from the mesh, when nothing but
    /// the module's own updates of plain records runs during the loop (so
    /// nothing can change those values): float tuning, plain dicts, records
    /// of the module's own type, each node stored under its own id, and
    /// numpy's own functions (or none) between the updates.
    void hoist(handle nodes, handle node_list) {
        if (!prescanned_ || !plain_records_ || !PyDict_CheckExact(nodes.ptr()) || !(np_.is_none() || plain_numpy(np_)))
            return;
        reads_.self = self_;
        reads_.edges = nb::borrow(probe_.edges());
        object *tuning[] = {&reads_.tag_weight, &reads_.entity_weight, &reads_.key_point_weight,
                            &reads_.similarity_threshold, &reads_.embedding_weight};
        handle tuning_names[] = {names.tag_weight, names.entity_weight, names.key_point_weight,
                                 names.similarity_threshold, names.embedding_weight};
        for (std::size_t k = 0; k < 5; ++k) {
            // One that is absent is left for the update to read (and fail on) when it needs it.
            *tuning[k] = get_optional_attr(self_, tuning_names[k]);
            if (!tuning[k]->is_valid() || !PyFloat_CheckExact(tuning[k]->ptr())) return;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            handle node(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i)));
            if (!dict_get(nodes, f_.ids[i]).is(node) || !PyDict_CheckExact(get_attr(node, names.neighbors).ptr()))
                return;
            reads_.nodes.push_back(nb::borrow(node));
        }
        reads_.ids = f_.ids;
        hoisted_ = true;
    }

    void run() {
        std::vector<std::int32_t> candidates;
        for (std::size_t i = 0; i < n_; ++i) {
            candidates.clear();
            auto add = [&](std::size_t j) {
                if (!mark_[j]) {
                    mark_[j] = 1;
                    candidates.push_back(static_cast<std::int32_t>(j));
                }
            };
            count_shared(i, add);
            bool has_row = vectors_.prepare_row(i, np_);
            if (threshold_.zero_passes()) {
                // Every similarity of 0.0 passes: each later node is a candidate
                // unless its similarity is computed and fails.
                for (std::size_t j = i + 1; j < n_; ++j)
                    if (!has_row || threshold_.passes(vectors_.similarity(i, j))) add(j);
            } else if (has_row) {
                scan_similar(i, add);
            }
            if (prescanned_) {
                for (std::int32_t j : existing_[i]) add(static_cast<std::size_t>(j));
                std::sort(candidates.begin(), candidates.end());
                for (std::int32_t j : candidates) update(i, static_cast<std::size_t>(j));
            } else {
                // Interleaved with the updates: an overridden edge update may
                // change `edges` between two tests.
                for (std::size_t j = i + 1; j < n_; ++j)
                    if (mark_[j] || has_edge(i, j)) update(i, j);
            }
            for (std::int32_t j : candidates) {
                counts_[static_cast<std::size_t>(j)] = Counts{};
                mark_[static_cast<std::size_t>(j)] = 0;
            }
        }
    }

private:
    template <typename Add>
    void count_shared(std::size_t i, Add &add) {
        for (std::size_t kind = 0; kind < 3; ++kind) {
            InvertedIndex &ix = index_[kind];
            for (std::size_t p = ix.node_start[i]; p < ix.node_start[i + 1]; ++p) {
                auto t = static_cast<std::size_t>(ix.items[p]);
                // Rows are walked in order, so the cursor of every item of
                // row i stands on i itself: the nodes after it are the later ones.
                std::size_t start = ++ix.cursor[t];
                for (std::size_t q = start; q < ix.post_start[t + 1]; ++q) {
                    auto j = static_cast<std::size_t>(ix.postings[q]);
                    add(j);
                    Counts &c = counts_[j];
                    (kind == 0 ? c.tags : kind == 1 ? c.entities : c.key_points) += 1;
                }
            }
        }
    }

    template <typename Add>
    void scan_similar(std::size_t i, Add &add) {
        auto u = static_cast<std::size_t>(vectors_.local_of(i));
        Group &g = vectors_.group(static_cast<std::size_t>(vectors_.group_of(i)));
        // row[c] is the dot product with row g.r0 + c.
        const double *row = g.out + (u - g.r0) * g.ld;
        std::size_t first = u + 1 - g.r0, end = g.count() - g.r0;
        const std::size_t *pos = g.row_pos.data() + g.r0;
        const double *inv = g.inv_norms.data() + g.r0;
        double norm = g.norms[u];
        if (threshold_.exact()) {
            // A product with the inverse norms is within a few ulps of the
            // similarity: it screens, and the exact quotient decides.
            double cut = threshold_.cut();
            double screen = cut - 1e-9 * std::max(1.0, std::fabs(cut));
            double inv_u = g.inv_norms[u];
            for (std::size_t c = first; c < end; ++c)
                if (row[c] * inv_u * inv[c] >= screen && row[c] / (norm * g.norms[g.r0 + c]) >= cut) add(pos[c]);
        } else {
            for (std::size_t c = first; c < end; ++c)
                if (threshold_.passes(row[c] / (norm * g.norms[g.r0 + c]))) add(pos[c]);
        }
    }

    bool has_edge(std::size_t i, std::size_t j) const {
        bool ordered = rank_[i] < rank_[j];
        return probe_.contains(ordered ? f_.ids[i] : f_.ids[j], ordered ? f_.ids[j] : f_.ids[i]);
    }

    void update(std::size_t i, std::size_t j) {
        const Counts &c = counts_[j];
        double sim = vectors_.similarity(i, j);
        object st = make_int(c.tags), se = make_int(c.entities), sk = make_int(c.key_points);
        if (hoisted_) {
            apply_edge_update(reads_, i, j, rank_[i] < rank_[j], st, se, sk, sim);
        } else if (native_) {
            apply_edge_update(self_, f_.ids[i], f_.ids[j], st, se, sk, sim);
        } else {
            call_method(self_, names._update_edge, f_.ids[i], f_.ids[j], st, se, sk, make_float(sim));
            probe_.refresh();
        }
    }

    handle self_, np_;
    ScaledVectors &vectors_;
    const NodeFields &f_;
    const Threshold &threshold_;
    std::array<InvertedIndex, 3> &index_;
    const std::vector<std::int32_t> &rank_;
    std::size_t n_;
    std::vector<Counts> counts_;
    std::vector<unsigned char> mark_;
    EdgeProbe probe_;
    bool native_ = false;
    bool prescanned_ = false;
    bool plain_records_ = true;
    bool hoisted_ = false;
    MeshReads reads_;
    std::vector<std::vector<std::int32_t>> existing_;
};

/// The pair loop for anything else (ids that are not distinct str, item
/// collections that are not plain sets of str): every pair is tested with
/// Python's own operations, in order, so errors arise where they belong.
void general_pair_loop(handle self, handle np, ScaledVectors &scaled, const NodeFields &f, const Threshold &threshold) {
    std::size_t n = f.ids.size();
    for (std::size_t i = 0; i < n; ++i) {
        scaled.prepare_row(i, np);
        for (std::size_t j = i + 1; j < n; ++j) {
            Py_ssize_t st = intersection_size(f.tags[i], f.tags[j]);
            Py_ssize_t se = intersection_size(f.entities[i], f.entities[j]);
            Py_ssize_t sk = intersection_size(f.key_points[i], f.key_points[j]);
            double sim = scaled.similarity(i, j);
            if (st == 0 && se == 0 && sk == 0 && !threshold.passes(sim)) {
                // The key is the two ids sorted, as sorted() compares them.
                handle a = f.ids[i], b = f.ids[j];
                bool swap = check(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT)) == 1;
                EdgeProbe probe(self);
                if (!probe.contains(swap ? b : a, swap ? a : b)) continue;
            }
            object sto = steal_or_raise(PyLong_FromSsize_t(st));
            object seo = steal_or_raise(PyLong_FromSsize_t(se));
            object sko = steal_or_raise(PyLong_FromSsize_t(sk));
            call_update_edge(self, f.ids[i], f.ids[j], sto, seo, sko, make_float(sim));
        }
    }
}

object add_conversations_impl(handle self, handle memorias) {
    require_exact_list(memorias, "memorias");
    object added = steal_or_raise(PyList_New(0));
    // The list is re-read at every step, as a for loop over it would.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(memorias.ptr()); ++k) {
        object item = nb::borrow(PyList_GET_ITEM(memorias.ptr(), k));
        object node = ensure_node(self, item);
        check(PyList_Append(added.ptr(), node.ptr()));
    }
    object nodes = get_attr(self, names.nodes);
    set_attr(self, names.total_conversations, steal_or_raise(PyLong_FromSsize_t(check_size(PyObject_Size(nodes.ptr())))));

    object node_list;
    if (PyDict_CheckExact(nodes.ptr())) {
        node_list = steal_or_raise(PyDict_Values(nodes.ptr()));
    } else {
        object view = call_method(nodes, names.values);
        node_list = steal_or_raise(PySequence_List(view.ptr()));
    }
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(node_list.ptr()));
    std::vector<object> vectors;
    vectors.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        vectors.push_back(get_attr(handle(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i))), names.embedding));

    // Every vector is converted before any edge changes, so that a vector
    // that cannot be read fails the call with the graph's edges untouched.
    object np = lookup_global(state.module_dict, names.np);
    ScaledVectors scaled(vectors);
    for (std::size_t k = 0; k < scaled.group_count(); ++k) scaled.convert(k, vectors, np);
    scaled.plan_blocks();
    vectors.clear();

    Threshold threshold(get_attr(self, names.similarity_threshold));

    NodeFields f;
    f.ids.reserve(n);
    f.tags.reserve(n);
    f.entities.reserve(n);
    f.key_points.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        handle node(PyList_GET_ITEM(node_list.ptr(), static_cast<Py_ssize_t>(i)));
        f.ids.push_back(get_attr(node, names.session_id));
        f.tags.push_back(get_attr(node, names.tags));
        f.entities.push_back(get_attr(node, names.entities));
        f.key_points.push_back(get_attr(node, names.key_points));
    }

    // Plain data takes the indexed loop: distinct str ids, sets of str.
    bool plain = true;
    KeyTable ids(n);
    for (std::size_t i = 0; i < n && plain; ++i) {
        bool inserted = false;
        plain = PyUnicode_CheckExact(f.ids[i].ptr()) && (ids.intern(f.ids[i], inserted), inserted);
    }
    std::array<InvertedIndex, 3> index;
    plain = plain && index[0].build(f.tags) && index[1].build(f.entities) && index[2].build(f.key_points);
    if (!plain) {
        general_pair_loop(self, np, scaled, f, threshold);
        return added;
    }
    // Order of the ids as strings, so that each pair's key needs no comparison.
    std::vector<std::int32_t> order(n), rank(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::int32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::int32_t x, std::int32_t y) {
        return PyUnicode_Compare(f.ids[static_cast<std::size_t>(x)].ptr(), f.ids[static_cast<std::size_t>(y)].ptr()) < 0;
    });
    for (std::size_t r = 0; r < n; ++r) rank[static_cast<std::size_t>(order[r])] = static_cast<std::int32_t>(r);

    PlainPairLoop loop(self, np, scaled, f, threshold, index, rank);
    loop.prescan(ids);
    loop.hoist(nodes, node_list);
    loop.run();
    return added;
}

}  // namespace

object _similarity_matrix(handle, const Args &a) {
    return similarity_matrix_impl(a[0]);
}

object ConceptMesh_add_conversations(handle self, const Args &a) {
    return add_conversations_impl(self, a[0]);
}

}  // namespace vk::mesh
