#include "concept_mesh/kernel.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VK_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace vk::mesh {

namespace {

// Tiles of 4 rows x 2 columns: eight running sums stay in registers while
// each loaded value is used two or four times. Columns are walked in chunks
// small enough to stay in the second-level cache while a row block passes.
constexpr std::size_t TILE_ROWS = 4;
constexpr std::size_t TILE_COLS = 2;
constexpr std::size_t COLUMN_CHUNK = 64;

double dot_scalar(const double *a, const double *b, std::size_t width) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t k = 0;
    for (; k + 4 <= width; k += 4) {
        s0 += a[k] * b[k];
        s1 += a[k + 1] * b[k + 1];
        s2 += a[k + 2] * b[k + 2];
        s3 += a[k + 3] * b[k + 3];
    }
    for (; k < width; ++k) s0 += a[k] * b[k];
    return (s0 + s1) + (s2 + s3);
}

bool kept_dot_portable(const void *const *items, std::uintptr_t base, const KeptComponent *kept, const double *x,
                       std::size_t width, double &result) {
    double s0 = 0.0, s1 = 0.0;
    bool same = true;
    std::size_t k = 0;
    for (; k + 2 <= width; k += 2) {
        same &= reinterpret_cast<std::uintptr_t>(items[k]) - base == static_cast<std::uintptr_t>(kept[k].offset);
        same &= reinterpret_cast<std::uintptr_t>(items[k + 1]) - base ==
                static_cast<std::uintptr_t>(kept[k + 1].offset);
        s0 += x[k] * static_cast<double>(kept[k].value);
        s1 += x[k + 1] * static_cast<double>(kept[k + 1].value);
    }
    for (; k < width; ++k) {
        same &= reinterpret_cast<std::uintptr_t>(items[k]) - base == static_cast<std::uintptr_t>(kept[k].offset);
        s0 += x[k] * static_cast<double>(kept[k].value);
    }
    result = s0 + s1;
    return same;
}

using TileFn = void (*)(const double *const *a, const double *const *b, std::size_t width, double *out,
                        std::size_t ldo);

#ifdef VK_X86_KERNELS

// The tiles below spell out their eight running sums so that they stay in
// registers whatever the optimiser decides about loops.

inline double finish(double partial, const double *a, const double *b, std::size_t k, std::size_t width) {
    for (; k < width; ++k) partial += a[k] * b[k];
    return partial;
}

// SSE2 is part of every x86-64 CPU.
void tile_sse2(const double *const *a, const double *const *b, std::size_t width, double *out, std::size_t ldo) {
    __m128d s00 = _mm_setzero_pd(), s01 = s00, s10 = s00, s11 = s00, s20 = s00, s21 = s00, s30 = s00, s31 = s00;
    const double *a0 = a[0], *a1 = a[1], *a2 = a[2], *a3 = a[3], *b0 = b[0], *b1 = b[1];
    std::size_t k = 0;
    for (; k + 2 <= width; k += 2) {
        __m128d y0 = _mm_loadu_pd(b0 + k), y1 = _mm_loadu_pd(b1 + k);
        __m128d x = _mm_loadu_pd(a0 + k);
        s00 = _mm_add_pd(s00, _mm_mul_pd(x, y0));
        s01 = _mm_add_pd(s01, _mm_mul_pd(x, y1));
        x = _mm_loadu_pd(a1 + k);
        s10 = _mm_add_pd(s10, _mm_mul_pd(x, y0));
        s11 = _mm_add_pd(s11, _mm_mul_pd(x, y1));
        x = _mm_loadu_pd(a2 + k);
        s20 = _mm_add_pd(s20, _mm_mul_pd(x, y0));
        s21 = _mm_add_pd(s21, _mm_mul_pd(x, y1));
        x = _mm_loadu_pd(a3 + k);
        s30 = _mm_add_pd(s30, _mm_mul_pd(x, y0));
        s31 = _mm_add_pd(s31, _mm_mul_pd(x, y1));
    }
    auto sum = [](__m128d v) {
        alignas(16) double lanes[2];
        _mm_store_pd(lanes, v);
        return lanes[0] + lanes[1];
    };
    out[0] = finish(sum(s00), a0, b0, k, width);
    out[1] = finish(sum(s01), a0, b1, k, width);
    out[ldo] = finish(sum(s10), a1, b0, k, width);
    out[ldo + 1] = finish(sum(s11), a1, b1, k, width);
    out[2 * ldo] = finish(sum(s20), a2, b0, k, width);
    out[2 * ldo + 1] = finish(sum(s21), a2, b1, k, width);
    out[3 * ldo] = finish(sum(s30), a3, b0, k, width);
    out[3 * ldo + 1] = finish(sum(s31), a3, b1, k, width);
}

// Chosen at run time on CPUs that have it, so that the build does not
// depend on the machine it runs on.
__attribute__((target("avx2,fma"))) void tile_avx2(const double *const *a, const double *const *b,
                                                   std::size_t width, double *out, std::size_t ldo) {
    __m256d s00 = _mm256_setzero_pd(), s01 = s00, s10 = s00, s11 = s00, s20 = s00, s21 = s00, s30 = s00,
            s31 = s00;
    const double *a0 = a[0], *a1 = a[1], *a2 = a[2], *a3 = a[3], *b0 = b[0], *b1 = b[1];
    std::size_t k = 0;
    for (; k + 4 <= width; k += 4) {
        __m256d y0 = _mm256_loadu_pd(b0 + k), y1 = _mm256_loadu_pd(b1 + k);
        __m256d x = _mm256_loadu_pd(a0 + k);
        s00 = _mm256_fmadd_pd(x, y0, s00);
        s01 = _mm256_fmadd_pd(x, y1, s01);
        x = _mm256_loadu_pd(a1 + k);
        s10 = _mm256_fmadd_pd(x, y0, s10);
        s11 = _mm256_fmadd_pd(x, y1, s11);
        x = _mm256_loadu_pd(a2 + k);
        s20 = _mm256_fmadd_pd(x, y0, s20);
        s21 = _mm256_fmadd_pd(x, y1, s21);
        x = _mm256_loadu_pd(a3 + k);
        s30 = _mm256_fmadd_pd(x, y0, s30);
        s31 = _mm256_fmadd_pd(x, y1, s31);
    }
    auto sum = [](const __m256d &v) {
        alignas(32) double lanes[4];
        std::memcpy(lanes, &v, sizeof lanes);
        return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    };
    out[0] = finish(sum(s00), a0, b0, k, width);
    out[1] = finish(sum(s01), a0, b1, k, width);
    out[ldo] = finish(sum(s10), a1, b0, k, width);
    out[ldo + 1] = finish(sum(s11), a1, b1, k, width);
    out[2 * ldo] = finish(sum(s20), a2, b0, k, width);
    out[2 * ldo + 1] = finish(sum(s21), a2, b1, k, width);
    out[3 * ldo] = finish(sum(s30), a3, b0, k, width);
    out[3 * ldo + 1] = finish(sum(s31), a3, b1, k, width);
}

TileFn choose_tile() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return tile_avx2;
    return tile_sse2;
}

#else

void tile_scalar(const double *const *a, const double *const *b, std::size_t width, double *out, std::size_t ldo) {
    for (std::size_t r = 0; r < TILE_ROWS; ++r)
        for (std::size_t c = 0; c < TILE_COLS; ++c) out[r * ldo + c] = dot_scalar(a[r], b[c], width);
}

TileFn choose_tile() { return tile_scalar; }

#endif

}  // namespace

void dot_block(const double *rows, std::size_t width, std::size_t r0, std::size_t r1, std::size_t c0,
               std::size_t c1, double *out, std::size_t ldo) {
    static const TileFn tile = choose_tile();
    for (std::size_t cb = c0; cb < c1; cb += COLUMN_CHUNK) {
        std::size_t ce = std::min(c1, cb + COLUMN_CHUNK);
        std::size_t r = r0;
        for (; r + TILE_ROWS <= r1; r += TILE_ROWS) {
            const double *a[TILE_ROWS];
            for (std::size_t i = 0; i < TILE_ROWS; ++i) a[i] = rows + (r + i) * width;
            std::size_t c = cb;
            for (; c + TILE_COLS <= ce; c += TILE_COLS) {
                const double *b[TILE_COLS] = {rows + c * width, rows + (c + 1) * width};
                tile(a, b, width, out + (r - r0) * ldo + (c - c0), ldo);
            }
            for (; c < ce; ++c)
                for (std::size_t i = 0; i < TILE_ROWS; ++i)
                    out[(r + i - r0) * ldo + (c - c0)] = dot_scalar(a[i], rows + c * width, width);
        }
        for (; r < r1; ++r)
            for (std::size_t c = cb; c < ce; ++c)
                out[(r - r0) * ldo + (c - c0)] = dot_scalar(rows + r * width, rows + c * width, width);
    }
}

#ifdef VK_X86_KERNELS

namespace {

/// An error-free sum: the result plus `e` is exactly a + b.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d two_sum(__m256d a, __m256d b, __m256d &e) {
    __m256d s = _mm256_add_pd(a, b), z = _mm256_sub_pd(s, a);
    e = _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(s, z)), _mm256_sub_pd(b, z));
    return s;
}

__attribute__((target("avx2,fma"))) void cosine_lanes_avx2(const double *x, const double *y, const double *pre,
                                                           const double *scale, std::size_t width,
                                                           CosineLanes &out) {
    const __m256d pre_v = _mm256_loadu_pd(pre), scale_v = _mm256_loadu_pd(scale);
    __m256d csum = _mm256_set1_pd(1.0), frac1 = _mm256_setzero_pd(), frac2 = frac1;
    __m256d hi = frac1, lo = frac1, tiny = frac1;
    for (std::size_t k = 0; k < width; ++k) {
        __m256d v = _mm256_loadu_pd(y + 4 * k);
        // Sum of squares: exact squares of the scaled components, added to
        // csum (which stays the larger) with their errors kept apart.
        __m256d t = _mm256_mul_pd(_mm256_mul_pd(v, pre_v), scale_v);
        __m256d sq = _mm256_mul_pd(t, t), sq_err = _mm256_fmsub_pd(t, t, sq);
        __m256d s = _mm256_add_pd(csum, sq);
        frac2 = _mm256_add_pd(frac2, _mm256_add_pd(_mm256_sub_pd(csum, s), sq));
        frac1 = _mm256_add_pd(frac1, sq_err);
        csum = s;
        // Sum of products, in three parts.
        __m256d xv = _mm256_broadcast_sd(x + k);
        __m256d p = _mm256_mul_pd(xv, v), p_err = _mm256_fmsub_pd(xv, v, p);
        __m256d s_err, r1_err, r2_err;
        __m256d s_hi = two_sum(hi, p, s_err);
        __m256d r1 = two_sum(lo, p_err, r1_err);
        __m256d r2 = two_sum(r1, s_err, r2_err);
        hi = s_hi;
        lo = r2;
        tiny = _mm256_add_pd(_mm256_add_pd(tiny, r1_err), r2_err);
    }
    _mm256_storeu_pd(out.csum, csum);
    _mm256_storeu_pd(out.frac1, frac1);
    _mm256_storeu_pd(out.frac2, frac2);
    _mm256_storeu_pd(out.hi, hi);
    _mm256_storeu_pd(out.lo, lo);
    _mm256_storeu_pd(out.tiny, tiny);
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

__attribute__((target("avx2,fma"))) bool kept_dot_avx2(const void *const *items, std::uintptr_t base,
                                                       const KeptComponent *kept, const double *x,
                                                       std::size_t width, double &result) {
    static_assert(sizeof(KeptComponent) == 8 && sizeof(void *) == 8);
    const __m256i base_v = _mm256_set1_epi64x(static_cast<long long>(base));
    // Offsets to the low half of a register, values to the high half.
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    __m256i differ = _mm256_setzero_si256();
    __m256d s0 = _mm256_setzero_pd(), s1 = s0;
    std::size_t k = 0;
    for (; k + 8 <= width; k += 8) {
        for (std::size_t h = 0; h < 8; h += 4) {
            __m256i packed = _mm256_permutevar8x32_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kept + k + h)), split);
            __m256i expected = _mm256_add_epi64(base_v, _mm256_cvtepi32_epi64(_mm256_castsi256_si128(packed)));
            __m256i found = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(items + k + h));
            differ = _mm256_or_si256(differ, _mm256_xor_si256(expected, found));
            __m256d values = _mm256_cvtps_pd(_mm_castsi128_ps(_mm256_extracti128_si256(packed, 1)));
            if (h == 0)
                s0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + k), values, s0);
            else
                s1 = _mm256_fmadd_pd(_mm256_loadu_pd(x + k + 4), values, s1);
        }
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, _mm256_add_pd(s0, s1));
    double tail = 0.0;
    bool same = _mm256_testz_si256(differ, differ) &&
                kept_dot_portable(items + k, base, kept + k, x + k, width - k, tail);
    result = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + tail;
    return same;
}

}  // namespace

bool cosine_lanes(const double *x, const double *y, const double *pre, const double *scale, std::size_t width,
                  CosineLanes &out) {
    static const bool available = has_avx2();
    if (!available) return false;
    cosine_lanes_avx2(x, y, pre, scale, width, out);
    return true;
}

bool kept_dot(const void *const *items, std::uintptr_t base, const KeptComponent *kept, const double *x,
              std::size_t width, double &result) {
    static const bool available = has_avx2();
    if (available) return kept_dot_avx2(items, base, kept, x, width, result);
    return kept_dot_portable(items, base, kept, x, width, result);
}

#else

bool kept_dot(const void *const *items, std::uintptr_t base, const KeptComponent *kept, const double *x,
              std::size_t width, double &result) {
    return kept_dot_portable(items, base, kept, x, width, result);
}

bool cosine_lanes(const double *, const double *, const double *, const double *, std::size_t, CosineLanes &) {
    return false;
}

#endif

}  // namespace vk::mesh
