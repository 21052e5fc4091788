// The mesh's vector kernels: portable float64 dot-product blocks (the
// similarity matrix and the bulk add when numpy is not available), the
// four-lane form of the shared cosine helper (common/cosine.hpp) that the
// single add uses, and the dot product against a kept single-precision copy
// of a vector (vector_cache.hpp) that screens its pairs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk::mesh {

/// out[(r - r0) * ldo + (c - c0)] = dot(rows[r], rows[c]) for r in [r0, r1)
/// and c in [c0, c1), where `rows` is row-major with `width` doubles a row.
/// Sums are taken in float64 (the association order differs from a plain
/// left-to-right sum only by rounding).
void dot_block(const double *rows, std::size_t width, std::size_t r0, std::size_t r1, std::size_t c0,
               std::size_t c1, double *out, std::size_t ldo);

/// The running sums of the package's cosine helper (common/cosine.hpp) for four
/// vectors against one: math.hypot's compensated sum of squares of each
/// vector and math.sumprod's triple-length sum of its products with the one.
struct CosineLanes {
    static constexpr std::size_t count = 4;
    double csum[count], frac1[count], frac2[count];
    double hi[count], lo[count], tiny[count];
};

/// Fills `out` for the four vectors interleaved in `y` (component k of vector
/// v is y[4 * k + v]), scaled for the sum of squares as math.hypot scales
/// them (by pre[v], then scale[v]), against `x`, with the scalar code's
/// operations lane by lane, so with its results. False when the CPU lacks the
/// vector instructions; then nothing is computed.
bool cosine_lanes(const double *x, const double *y, const double *pre, const double *scale, std::size_t width,
                  CosineLanes &out);

/// One component of a kept copy of a vector (vector_cache.hpp): where its
/// float object lies, as an offset from the first one's address, and its
/// value in single precision.
struct KeptComponent {
    std::int32_t offset;
    float value;
};

/// True when items[k] is the address base + kept[k].offset for every k below
/// `width`, with `result` = sum(x[k] * kept[k].value) in float64, in several
/// running sums (fused multiply-adds where the CPU has them): within the
/// usual error bound of a `width`-term dot product, in any order of summing.
bool kept_dot(const void *const *items, std::uintptr_t base, const KeptComponent *kept, const double *x,
              std::size_t width, double &result);

}  // namespace vk::mesh
