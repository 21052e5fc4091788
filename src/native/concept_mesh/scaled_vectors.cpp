// The width groups' conversions: vectors to scaled float64 rows.
#include "concept_mesh/scaled_vectors.hpp"

namespace vk::mesh {

namespace {

bool is_double_format(const char *format) {
    return format != nullptr && (std::strcmp(format, "d") == 0 || std::strcmp(format, "<d") == 0 ||
                                 std::strcmp(format, "=d") == 0 || std::strcmp(format, "@d") == 0);
}

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

}  // namespace

object size_object(std::size_t n) { return steal_or_raise(PyLong_FromSize_t(n)); }

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

bool fill_plain(handle vec, std::size_t width, double *row) {
    PyObject *v = vec.ptr();
    if (!PyList_CheckExact(v) && !PyTuple_CheckExact(v)) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(v)) != width) return false;
    PyObject **items = PySequence_Fast_ITEMS(v);
    for (std::size_t k = 0; k < width; ++k)
        if (!plain_component(items[k], row[k])) return false;
    return true;
}

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

void acquire_doubles(Buffer &view, handle array, std::size_t count) {
    view.acquire(array, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT);
    const Py_buffer &b = view.view();
    if (!is_double_format(b.format) || b.len < 0 ||
        static_cast<std::size_t>(b.len) / sizeof(double) < count)
        raise_format(PyExc_TypeError, "np.empty did not return a float64 array of the requested size");
}

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

void replace_item(PyObject *list, std::size_t k, PyObject *value) {
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    PyObject *old = items[k];
    items[k] = Py_NewRef(value);
    Py_XDECREF(old);
}

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

}  // namespace vk::mesh
