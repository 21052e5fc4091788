// Object handles and error plumbing shared by every extension module.
//
// Reference counts are only ever held by nanobind handles (`nb::object` owns,
// `nb::handle` borrows). A Python error raised by a C API call is turned into
// a C++ exception (`nb::python_error`) at the point of failure; the method
// wrappers in pyclass.hpp turn it back into the pending Python error when the
// call returns to the interpreter, unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace vk {

namespace nb = nanobind;
using nb::handle;
using nb::object;

/// Re-raise the pending Python error as a C++ exception.
[[noreturn]] inline void raise_pending() { throw nb::python_error(); }

/// Take ownership of a new reference, or raise the pending error if it is null.
inline object steal_or_raise(PyObject *o) {
    if (o == nullptr) raise_pending();
    return nb::steal(o);
}

/// Borrowed reference returned by a C API call that signals errors with null.
inline handle borrow_or_raise(PyObject *o) {
    if (o == nullptr) raise_pending();
    return handle(o);
}

/// Check the result of a C API call that returns -1 on error.
inline int check(int rc) {
    if (rc < 0) raise_pending();
    return rc;
}

inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) raise_pending();
    return n;
}

/// An interned string that lives as long as the process. Module constants such
/// as dict keys and attribute names are created once and never released, so
/// that no reference is dropped after the interpreter has finalised.
handle interned(const char *text);

/// `d[key]` for a dict, as a borrowed reference, or an empty handle when the
/// key is absent. Errors from hashing or comparing the key are raised.
inline handle dict_get(handle d, handle key) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (v == nullptr && PyErr_Occurred()) raise_pending();
    return handle(v);
}

/// `obj.name`, raising AttributeError (or whatever the lookup raises).
inline object get_attr(handle obj, handle name) {
    return steal_or_raise(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(handle obj, handle name, handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

/// Call `fn(args...)` through the vectorcall protocol.
template <typename... Args>
object call(handle fn, Args... args) {
    PyObject *argv[] = {nullptr, handle(args).ptr()...};
    return steal_or_raise(PyObject_Vectorcall(
        fn.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// Call `obj.name(args...)` looked up on the instance, so that overrides in
/// subclasses and instance attributes are honoured.
template <typename... Args>
object call_method(handle obj, handle name, Args... args) {
    PyObject *argv[] = {obj.ptr(), handle(args).ptr()...};
    return steal_or_raise(PyObject_VectorcallMethod(
        name.ptr(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// The type name used in messages about a value: `type(value).__name__` for
/// classes defined in Python, the qualified C name for extension types.
inline const char *tp_name_of(handle value) { return Py_TYPE(value.ptr())->tp_name; }

/// A new float object.
inline object make_float(double v) { return steal_or_raise(PyFloat_FromDouble(v)); }

/// A new int object.
inline object make_int(long long v) { return steal_or_raise(PyLong_FromLongLong(v)); }

inline object make_str(const char *s) { return steal_or_raise(PyUnicode_FromString(s)); }

}  // namespace vk
