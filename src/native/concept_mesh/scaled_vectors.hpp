// The vectors of the similarity matrix and of the bulk add, grouped by width,
// scaled and normed, with their dot products a block of rows at a time:
// numpy's matrix product (an optimised BLAS) when numpy is importable, the
// portable kernel otherwise; and the similarity threshold, read once.
//
// A similarity is dot(x, y) / (|x| * |y|), the per-pair formula, on vectors
// scaled by a power of two (exactly) to a largest component below 1: no sum
// of squares overflows or underflows, and vectors whose products are exact
// (integer or short components) get bit for bit the per-pair value, so a
// cosine of exactly 0 or exactly the threshold decides a pair the same way.
#pragma once

#include "common/convert.hpp"
#include "common/errors.hpp"
#include "common/buffer.hpp"
#include "concept_mesh/kernel.hpp"
#include "concept_mesh/mesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vk::mesh {

/// About this many bytes of similarities are computed per block.
constexpr std::size_t BLOCK_BYTES = std::size_t{16} << 20;

/// A Python int for `n`.
object size_object(std::size_t n);

/// Scales `x` in place by the power of two that brings its largest
/// component into [0.5, 1) and returns its Euclidean norm after scaling; 0.0
/// for a zero vector. Vectors with an infinite or NaN component are left as
/// they are (their similarities come out NaN or 0.0, as per pair).
double scale_and_norm(double *x, std::size_t width);

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
/// Copies a list or tuple of plain numbers of the group's width into `row`;
/// false (a general conversion is needed) for anything else.
bool fill_plain(handle vec, std::size_t width, double *row);

/// The interpreted conversion: each component is squared with Python's own
/// arithmetic first, so that a component that is not a number fails with the
/// arithmetic error, then converted to float64.
void fill_interpreted(handle vec, std::size_t width, double *row);

/// Exports `array` into `view` as a writable buffer of at least `count`
/// float64 values: the rows are written through it directly, so a replaced
/// `np` whose `empty` returns something smaller must not be written past.
void acquire_doubles(Buffer &view, handle array, std::size_t count);

/// numpy's own stacking of the group's vectors (its conversions and errors),
/// copied into the group's rows.
void fill_numpy(Group &g, const std::vector<object> &vectors, handle np);

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
void replace_item(PyObject *list, std::size_t k, PyObject *value);

/// Whether `np` is numpy itself with its own matmul and empty, which run no
/// Python code.
bool plain_numpy(handle np);

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
}  // namespace vk::mesh
