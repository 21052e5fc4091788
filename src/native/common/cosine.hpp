// The cosine similarity of two float vectors with the interpreter's own
// arithmetic: the norms as math.hypot computes them (power-of-two scaling,
// exact squares, compensated sum, one correction step of the square root)
// and the dot product as math.sumprod computes it for floats (a triple-length
// running sum). The result is therefore the interpreted helper's bit for bit,
// and a similarity that lands exactly on a threshold decides a pair the same
// way on every path. Only finite floats are handled here; anything else is
// left to the interpreted helper.
#pragma once

#include <Python.h>

#include <cfloat>
#include <cmath>
#include <cstddef>

#if defined(__GNUC__) || defined(__clang__)
#define VK_COSINE_INLINE [[gnu::always_inline]] inline
#else
#define VK_COSINE_INLINE inline
#endif

namespace vk::cosine {

// The loops below are templates on an instruction-set tag, so that each
// entry point at the end gets its own copy: on x86-64 a copy built for CPUs
// with FMA, where std::fma is one instruction rather than a library call.
struct Baseline {};
struct WithFma {};

/// hi + lo is exactly the sum or product it was made from.
struct Twofold {
    double hi, lo;
};

VK_COSINE_INLINE Twofold exact_sum(double a, double b) {
    double x = a + b, z = x - a;
    return {x, (a - (x - z)) + (b - z)};
}

/// For |a| >= |b| only.
VK_COSINE_INLINE Twofold exact_sum_ordered(double a, double b) {
    double x = a + b;
    return {x, (a - x) + b};
}

VK_COSINE_INLINE Twofold exact_product(double x, double y) {
    double z = x * y;
    return {z, std::fma(x, y, -z)};
}

/// A running sum of products in three parts, as math.sumprod keeps it.
struct Threefold {
    double hi = 0.0, lo = 0.0, tiny = 0.0;

    VK_COSINE_INLINE Threefold plus_product(double x, double y) const {
        Twofold p = exact_product(x, y);
        Twofold s = exact_sum(hi, p.hi);
        Twofold r1 = exact_sum(lo, p.lo);
        Twofold r2 = exact_sum(r1.hi, s.lo);
        return {s.hi, r2.hi, tiny + r1.lo + r2.lo};
    }
    VK_COSINE_INLINE double value() const {
        Twofold last = exact_sum(lo, hi);
        return tiny + last.lo + last.hi;
    }
};

/// The scaling math.hypot applies before squaring: `pre` lifts vectors of
/// subnormal components to normal ones (then the norm is `unlift` times the
/// norm of the lifted vector), `scale` brings the largest component into [0.5, 1).
struct NormScale {
    double pre = 1.0, scale = 1.0, unlift = 1.0;

    explicit NormScale(double max) {
        int e = 0;
        std::frexp(max, &e);
        if (e < -1023) {
            pre = 1.0 / DBL_MIN;
            unlift = DBL_MIN;
            std::frexp(max / DBL_MIN, &e);
        }
        scale = std::ldexp(1.0, -e);
    }
};

/// The correction step that ends math.hypot, from the compensated sum of
/// squares (`csum` starts at 1.0, so the squares are csum - 1 + frac1 + frac2).
VK_COSINE_INLINE double finish_norm(double csum, double frac1, double frac2, const NormScale &s) {
    double h = std::sqrt(csum - 1.0 + (frac1 + frac2));
    Twofold p = exact_product(-h, h);
    Twofold m = exact_sum_ordered(csum, p.hi);
    csum = m.hi;
    frac1 += p.lo;
    frac2 += m.lo;
    double x = csum - 1.0 + (frac1 + frac2);
    h += x / (2.0 * h);
    return s.unlift * (h / s.scale);
}

/// math.hypot(*v) for `n` finite components whose largest magnitude is `max`.
template <class Isa>
double norm_of(const double *v, std::size_t n, double max) {
    if (max == 0.0 || n <= 1) return max;  // no scaling: hypot gives |x| as it is
    NormScale s(max);
    double csum = 1.0, frac1 = 0.0, frac2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double x = (v[i] * s.pre) * s.scale;
        Twofold p = exact_product(x, x);
        Twofold m = exact_sum_ordered(csum, p.hi);
        csum = m.hi;
        frac1 += p.lo;
        frac2 += m.lo;
    }
    return finish_norm(csum, frac1, frac2, s);
}

/// math.sumprod's running sum of a[i] * b[i]. A partial sum that is not
/// finite (where the interpreter leaves the float path) leaves `hi` not
/// finite: infinities and NaNs do not go away in later additions.
template <class Isa>
Threefold sum_of_products(const double *a, const double *b, std::size_t n) {
    Threefold t;
    for (std::size_t i = 0; i < n; ++i) t = t.plus_product(a[i], b[i]);
    return t;
}

/// The helper's result from the two norms and the sum of products (not
/// looked at when a norm is 0); false when the helper must decide: a sum that
/// left the float path, or a zero divisor (the helper raises).
inline bool finish_similarity(double norm_a, double norm_b, const Threefold &t, double &out) {
    if (norm_a == 0.0 || norm_b == 0.0) {
        out = 0.0;
        return true;
    }
    if (!std::isfinite(t.hi)) return false;
    double den = norm_a * norm_b;
    if (den == 0.0) return false;
    // The interpreter adds the float total to its integer start, 0.
    out = (0.0 + t.value()) / den;
    return true;
}

/// Copies an exact list of `n` exact, finite floats into out[0], out[stride],
/// ... and returns their largest magnitude through `max`; false when an item
/// is anything else. Reads the items without calling into Python.
inline bool unpack(PyObject *list, std::size_t n, double *out, double &max, std::size_t stride = 1) {
    PyObject *const *items = reinterpret_cast<PyListObject *>(list)->ob_item;
    double m = 0.0;
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *x = items[i];
        ok &= Py_IS_TYPE(x, &PyFloat_Type);
        double d = ok ? PyFloat_AS_DOUBLE(x) : 0.0;
        out[i * stride] = d;
        double a = std::fabs(d);
        ok &= a <= DBL_MAX;
        m = a > m ? a : m;
    }
    max = m;
    return ok;
}

/// The helper's answer for two unpacked vectors of `n` >= 1 components with
/// their largest magnitudes; false when the helper must decide.
template <class Isa>
bool similarity_of(const double *a, double max_a, const double *b, double max_b, std::size_t n, double &out) {
    double norm_a = norm_of<Isa>(a, n, max_a), norm_b = norm_of<Isa>(b, n, max_b);
    bool zero = norm_a == 0.0 || norm_b == 0.0;
    return finish_similarity(norm_a, norm_b, zero ? Threefold{} : sum_of_products<Isa>(a, b, n), out);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
[[gnu::target("fma")]] inline double norm_fma(const double *v, std::size_t n, double max) {
    return norm_of<WithFma>(v, n, max);
}
[[gnu::target("fma")]] inline bool similarity_fma(const double *a, double max_a, const double *b, double max_b,
                                                 std::size_t n, double &out) {
    return similarity_of<WithFma>(a, max_a, b, max_b, n, out);
}
inline bool fma_available() {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return available;
}
#else
inline double norm_fma(const double *v, std::size_t n, double max) { return norm_of<Baseline>(v, n, max); }
inline bool similarity_fma(const double *a, double max_a, const double *b, double max_b, std::size_t n, double &out) {
    return similarity_of<Baseline>(a, max_a, b, max_b, n, out);
}
inline bool fma_available() { return false; }
#endif

/// math.hypot(*v) for `n` finite components whose largest magnitude is `max`.
inline double norm(const double *v, std::size_t n, double max) {
    return fma_available() ? norm_fma(v, n, max) : norm_of<Baseline>(v, n, max);
}

/// The helper's answer for two unpacked vectors (see similarity_of).
inline bool similarity(const double *a, double max_a, const double *b, double max_b, std::size_t n, double &out) {
    return fma_available() ? similarity_fma(a, max_a, b, max_b, n, out)
                           : similarity_of<Baseline>(a, max_a, b, max_b, n, out);
}

}  // namespace vk::cosine
