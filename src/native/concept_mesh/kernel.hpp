// Portable float64 dot-product blocks, used for similarities when numpy is
// not available.
#pragma once

#include <cstddef>

namespace vk::mesh {

/// out[(r - r0) * ldo + (c - c0)] = dot(rows[r], rows[c]) for r in [r0, r1)
/// and c in [c0, c1), where `rows` is row-major with `width` doubles a row.
/// Sums are taken in float64 (the association order differs from a plain
/// left-to-right sum only by rounding).
void dot_block(const double *rows, std::size_t width, std::size_t r0, std::size_t r1, std::size_t c0,
               std::size_t c1, double *out, std::size_t ldo);

}  // namespace vk::mesh
