// Single-precision copies of a mesh's embedding vectors, kept between calls
// of add_conversation. Most pairs of a large mesh share nothing and are far
// below the similarity threshold; the copy tells so, with a margin that covers
// its rounding, without reading the other vector's float objects.
#pragma once

#include "common/py.hpp"
#include "concept_mesh/kernel.hpp"
#include "concept_mesh/keytable.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace vk::mesh {

/// A copy of an embedding list of finite floats. It stands for the list only
/// while the list holds the very float objects it was made from: the copy
/// holds them too (so no other object can take their addresses) and floats
/// are immutable, so equal addresses mean equal values. An in-place change of
/// the list is therefore always seen.
class KeptVector {
public:
    KeptVector() = default;
    KeptVector(KeptVector &&other) noexcept { *this = std::move(other); }
    KeptVector &operator=(KeptVector &&other) noexcept;
    ~KeptVector() { release(); }

    /// Made again from `list`; false (and empty) when it is not a list of
    /// finite floats whose norm lies within the screen's range, or whose
    /// objects lie too far apart for the offsets.
    bool refill(PyObject *list);

    /// The dot product of `x` with the copy, when `list` still holds the
    /// items the copy was made from (else false).
    bool dot(PyObject *list, const double *x, double &result) const;

    std::size_t width() const { return components_.size(); }
    const KeptComponent *components() const { return components_.data(); }
    /// The list it was last made from (an address, for the index only).
    const void *list() const { return list_; }
    double norm() const { return norm_; }

    std::uint64_t seen = 0;

private:
    /// Drops the references the components hold.
    void release();

    const void *list_ = nullptr;
    // Each component's float object is held (one reference, taken by
    // `refill` and dropped by `release`), through the address it records:
    // no second array of pointers, and no container for the collector to walk.
    std::uintptr_t base_ = 0;
    std::vector<KeptComponent> components_;
    double norm_ = 0.0;
};

/// Norms of vectors the screen takes: far from overflow and underflow, so that
/// products of two vectors and the rounding of tiny components stay negligible
/// against its margin.
inline constexpr double SCREEN_MIN_NORM = 1e-30;
inline constexpr double SCREEN_MAX_NORM = 1e30;

/// How far below the threshold (as a share of the two norms) a screened
/// similarity must be: single precision rounds each component by at most
/// 2**-24 of itself (about 6e-8 of the product of the norms in all), and the
/// float64 sums and the helper's own rounding add far less.
inline constexpr double SCREEN_MARGIN = 1e-6;

/// The kept copies of one mesh, by list address (a hint only: a copy is used
/// after its items were compared with the list's).
class VectorCache {
public:
    /// Starts a pass over the nodes; copies not asked for during it are
    /// dropped by `finish_pass`.
    void start_pass() {
        ++pass_;
        seen_in_pass_ = 0;  // a pass cut short by an error never finished
    }
    void finish_pass();

    /// True when the list (an exact list) has a kept copy of `width`
    /// components, made or made again as needed, with `result` its dot
    /// product with `x` and `norm` its norm; false when the screen does not
    /// take the list.
    bool dot(PyObject *list, const double *x, std::size_t width, double &result, double &norm);

    /// Prefetch hints for the copy of `list`, in steps a few nodes apart, each
    /// reading what the one before asked for: where its index slot lies, the
    /// copy's record, and its first components.
    void prefetch_slot(const PyObject *list) const { prefetch(index_.home_of(list)); }
    void prefetch_record(const PyObject *list) const;
    void prefetch_components(const PyObject *list) const;

private:
    std::vector<KeptVector> kept_;
    PointerTable<std::uint32_t> index_;  // list address -> position in kept_
    std::uint64_t pass_ = 0;
    std::size_t seen_in_pass_ = 0;
};

/// The copies kept for the exact ConceptMesh `self`, dropped when it is
/// collected; null when it takes no weak references.
VectorCache *vector_cache(handle self);

/// Drops the copies kept for `self` (its nodes were cleared).
void drop_vector_cache(handle self);

}  // namespace vk::mesh
