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
#include <initializer_list>
#include <type_traits>

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

/// Check the result of a C API call that returns -1 on error.
inline int check(int rc) {
    if (rc < 0) raise_pending();
    return rc;
}

inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) raise_pending();
    return n;
}

/// An interned string that lives as long as the process, for filling a
/// module's `Names` (and the parameter names of a `Signature`) once; code
/// that runs per call names its strings through `names`, never through this.
/// Never released, so that no reference is dropped after the interpreter has
/// finalised.
handle interned(const char *text);

/// The strings the shared layer itself needs (in its keyword calls, `with`
/// statements and class set-up), interned when a module is initialised.
struct CommonNames {
    handle get, __enter__, __exit__, __name__, field, make_dataclass;
    handle default_factory, repr, module;
};

extern CommonNames common_names;

/// Fill `common_names` (module initialisation calls it before the body).
void init_common_names();

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

/// `obj.name`, or an empty object when the attribute is not there. Only
/// AttributeError means "not there": any other failure of the look-up
/// (MemoryError, KeyboardInterrupt, an error raised by a property) is raised.
inline object get_optional_attr(handle obj, handle name) {
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &v) < 0) raise_pending();
    return nb::steal(v);
}

/// What the class `type` holds under `name`, found along its MRO as
/// attribute access finds it, without running code: borrowed (the class
/// dict keeps it), or empty.
handle class_attr(handle type, handle name);

/// Whether instances of the class `type` hand out the attribute `name` from
/// their own dict without running code: generic attribute access, and
/// nothing of that name on the class with a `__get__` (it would run) or a
/// `__set__` (it would take the attribute over).
bool plain_attribute(handle type, handle name);

/// `obj[key]`, with the container's own KeyError or IndexError.
inline object get_item(handle obj, handle key) {
    return steal_or_raise(PyObject_GetItem(obj.ptr(), key.ptr()));
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

/// One keyword argument of `call_kw`.
struct Kw {
    handle name;  // an interned str, from a module's `names`
    handle value;
};

/// `fn(*args, **{k.name: k.value ...})` through vectorcall: no argument tuple
/// or keyword dict is built.
object call_kw(handle fn, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs);

/// Call `obj.name(args...)` looked up on the instance, so that overrides in
/// subclasses and instance attributes are honoured.
template <typename... Args>
object call_method(handle obj, handle name, Args... args) {
    PyObject *argv[] = {obj.ptr(), handle(args).ptr()...};
    return steal_or_raise(PyObject_VectorcallMethod(
        name.ptr(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `bool(value)`, raising what `__bool__` or `__len__` raises.
inline bool truthy(handle value) { return check(PyObject_IsTrue(value.ptr())) != 0; }

/// `mapping.get(key, fallback)`: an exact dict is read directly, anything
/// else through its own `get` method (so subclasses and other mappings keep
/// their behaviour). The result is owned: later calls into Python may change
/// the mapping.
object get_or(handle mapping, handle key, handle fallback);

/// `for item in iterable: fn(item)`. When `fn` returns bool, false stops the
/// loop (a `break`). Errors of the iteration itself are raised after the
/// items already seen were handled, as in Python.
template <class Fn>
void for_each(handle iterable, Fn &&fn) {
    object it = steal_or_raise(PyObject_GetIter(iterable.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        object item = nb::steal(raw);
        if constexpr (std::is_same_v<decltype(fn(handle(item))), bool>) {
            if (!fn(handle(item))) return;
        } else {
            fn(handle(item));
        }
    }
    if (PyErr_Occurred()) raise_pending();
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
