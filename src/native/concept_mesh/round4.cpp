#include "concept_mesh/round4.hpp"

#include "common/errors.hpp"
#include "concept_mesh/mapping.hpp"
#include "concept_mesh/mesh.hpp"

#include <cmath>

namespace vk::mesh {

namespace {

/// The slow exact route: CPython's correctly rounded decimal conversion (the
/// same dtoa that float.__round__ uses), then correctly rounded parsing.
double round4_decimal(double x) {
    char *text = PyOS_double_to_string(x, 'f', 4, 0, nullptr);
    if (text == nullptr) raise_pending();
    double r = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (r == -1.0 && PyErr_Occurred()) raise_pending();
    return r;
}

}  // namespace

double round4(double x) {
    if (!std::isfinite(x)) return x;
    // Fast route: t = x * 1e4 is within half an ulp of the exact product, so
    // unless t lies within an ulp of a half-integer the nearest integer k to
    // t is the nearest integer to the exact product, and k / 1e4 (one
    // correctly rounded division of exact operands) is the double nearest to
    // the decimal k * 10**-4.
    double t = x * 10000.0;
    double mag = std::fabs(t);
    if (mag < 0x1p52) {
        double floor_t = std::floor(t);
        double frac = t - floor_t;  // exact below 2**52
        double ulp = std::nextafter(mag, INFINITY) - mag;
        if (std::fabs(frac - 0.5) > ulp) {
            double k = frac < 0.5 ? floor_t : floor_t + 1.0;
            if (k == 0.0) return std::copysign(0.0, x);
            return k / 10000.0;
        }
    }
    return round4_decimal(x);
}

object round4_object(handle value) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v)) return make_float(round4(PyFloat_AS_DOUBLE(v)));
    if (PyLong_CheckExact(v)) return nb::borrow(value);
    object ndigits = make_int(4);
    return call(lookup_builtin(names.round), value, ndigits);
}

}  // namespace vk::mesh
