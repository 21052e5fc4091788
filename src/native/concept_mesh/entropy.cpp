// _density_entropy: the normalised Shannon entropy of values binned over
// [0, max(values)], with the interpreter's own arithmetic.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/errors.hpp"
#include "concept_mesh/mesh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace vk::mesh {

namespace {

[[noreturn]] void raise_nan_index() {
    raise_format(PyExc_ValueError, "cannot convert float NaN to integer");
}

/// The largest value as `max()` finds it (the first one that nothing beats),
/// or nothing to bin: fewer than two values, or a maximum not above 0.
bool entropy_max(const std::vector<double> &values, double &max_value) {
    if (values.size() <= 1) return false;
    max_value = values[0];
    for (std::size_t i = 1; i < values.size(); ++i)
        if (values[i] > max_value) max_value = values[i];
    return !(max_value <= 0.0);
}


std::vector<double> read_values(handle list) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        object item = nb::borrow(handle(PyList_GET_ITEM(list.ptr(), i)));
        out.push_back(to_double(item));
    }
    return out;
}

/// `n_bins` as a bin count: beyond the index range it fails like `[0] * n_bins`.
Py_ssize_t bin_count(handle n_bins, double &as_double) {
    Py_ssize_t n = PyNumber_AsSsize_t(n_bins.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise_pending();
    as_double = static_cast<double>(n);
    return n;
}

}  // namespace

/// bin outside the list: anything at or below 0 (negatives and -inf included)
/// falls in the first bin, +inf (which is then the maximum) in the last; a NaN
/// has no bin and raises ValueError, as converting it to an index would.
double density_entropy(const std::vector<double> &values, Py_ssize_t n_bins, double n_bins_d) {
    const std::size_t n = values.size();
    double max_value = 0.0;
    if (!entropy_max(values, max_value)) return 0.0;

    std::vector<Py_ssize_t> index(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = values[i];
        if (std::isnan(v)) raise_nan_index();
        Py_ssize_t k;
        if (v == std::numeric_limits<double>::infinity()) {
            k = n_bins - 1;
        } else if (v <= 0.0) {
            k = 0;
        } else {
            const double q = v / max_value * n_bins_d;
            if (std::isnan(q)) raise_nan_index();
            k = q >= n_bins_d ? n_bins - 1 : static_cast<Py_ssize_t>(q);
            k = std::min(k, n_bins - 1);
        }
        if (k < 0 || n_bins <= 0) raise_format(PyExc_IndexError, "list index out of range");
        index[i] = k;
    }
    // Bins are visited in ascending order; only the occupied ones matter, so a
    // huge bin count costs no memory.
    std::sort(index.begin(), index.end());
    const double total = static_cast<double>(n);
    double entropy = 0.0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && index[j] == index[i]) ++j;
        const double p = static_cast<double>(j - i) / total;
        entropy -= p * std::log(p);
        i = j;
    }
    const double norm = std::log(n_bins_d);
    if (norm == 0.0) raise_format(PyExc_ZeroDivisionError, "float division by zero");
    return entropy / norm;
}


object _density_entropy(handle, const Args &a) {
    require_exact_list(a[0], "values");
    object n_bins = a.given(1) ? to_int_arg(a[1], "n_bins") : make_int(DEFAULT_BINS);
    if (PyList_GET_SIZE(a[0].ptr()) <= 1) return make_float(0.0);
    std::vector<double> values = read_values(a[0]);
    double max_value = 0.0;
    if (!entropy_max(values, max_value)) return make_float(0.0);
    double nb_d = 0.0;
    Py_ssize_t nb = bin_count(n_bins, nb_d);
    return make_float(density_entropy(values, nb, nb_d));
}

constinit Method def::_density_entropy{
    {"_density_entropy", false, {req("values"), opt("n_bins", "10")}}, mesh::_density_entropy,
    "Normalised Shannon entropy (0 to 1) of values binned over [0, max(values)]."};

}  // namespace vk::mesh
