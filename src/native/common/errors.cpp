#include "common/errors.hpp"

#include <cstdarg>

namespace vk {

const char *const ARG_TYPE_FORMAT =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

void raise_arg_type(const char *arg, const char *expected, handle got) {
    PyErr_Format(PyExc_TypeError, ARG_TYPE_FORMAT, arg, expected, tp_name_of(got));
    raise_pending();
}

void raise_format(PyObject *exc, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    PyErr_FormatV(exc, format, ap);
    va_end(ap);
    raise_pending();
}

void require_exact_dict(handle value, const char *arg) {
    if (!PyDict_CheckExact(value.ptr())) raise_arg_type(arg, "dict", value);
}

void require_exact_list(handle value, const char *arg) {
    if (!PyList_CheckExact(value.ptr())) raise_arg_type(arg, "list", value);
}

void require_exact_set(handle value, const char *arg) {
    if (!PyAnySet_CheckExact(value.ptr()) || PyFrozenSet_CheckExact(value.ptr()))
        raise_arg_type(arg, "set", value);
}

void require_exact_str(handle value, const char *arg) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(arg, "str", value);
}

void require_exact_bytes(handle value, const char *arg) {
    if (!PyBytes_CheckExact(value.ptr())) raise_arg_type(arg, "bytes", value);
}

void require_exact_str_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_str(value, arg);
}

void require_exact_list_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_list(value, arg);
}

void require_exact_dict_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_dict(value, arg);
}

void require_exact_set_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_set(value, arg);
}

}  // namespace vk
