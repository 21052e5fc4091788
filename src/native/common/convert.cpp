#include "common/convert.hpp"

#include "common/errors.hpp"

namespace vk {

object to_int_arg(handle value, const char *arg) {
    PyObject *v = value.ptr();
    if (PyLong_CheckExact(v)) return nb::borrow(value);
    PyNumberMethods *num = Py_TYPE(v)->tp_as_number;
    if (num != nullptr && (num->nb_int != nullptr || num->nb_index != nullptr))
        return steal_or_raise(PyNumber_Long(v));
    if (num != nullptr && num->nb_float != nullptr) {
        object f = steal_or_raise(PyNumber_Float(v));
        return steal_or_raise(PyNumber_Long(f.ptr()));
    }
    raise_arg_type(arg, "int", value);
}

double to_double(handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) raise_pending();
    return d;
}

object to_float_object(handle value) {
    if (PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
    return make_float(to_double(value));
}

Py_ssize_t clamp_to_ssize(handle int_object, Py_ssize_t lo, Py_ssize_t hi) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(int_object.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_pending();
    if (overflow > 0) return hi;
    if (overflow < 0) return lo;
    if (v < static_cast<long long>(lo)) return lo;
    if (v > static_cast<long long>(hi)) return hi;
    return static_cast<Py_ssize_t>(v);
}

}  // namespace vk
