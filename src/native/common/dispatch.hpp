// "Is this still ours?": calling a method through the instance without paying
// for the call when nothing overrides it, and using a module's own helpers
// only while they are still the ones bound.
//
// `obj.name` is looked up as Python would (instance attribute, subclass,
// class patched at run time). When the result is the module's own method
// bound to `obj` (or its own static method or module function, unbound),
// running the C++ body directly is the same call; anything else is called
// like a Python method. Callers that promise a fast path only for their exact
// class test the type first.
#pragma once

#include "common/pyclass.hpp"

#include <type_traits>

namespace vk {

/// True when `attr` (what looking a method up on `self` gave) is the C++
/// method `M` bound to `self`, or the unbound C++ function `M` (a static
/// method or a module function; pass an empty `self` for the latter).
template <const Method &M>
bool is_own_method(handle attr, handle self) {
    PyObject *m = attr.ptr();
    if (m == nullptr || !PyCFunction_Check(m)) return false;
    PyObject *bound_self = PyCFunction_GET_SELF(m);
    return (bound_self == self.ptr() || bound_self == nullptr) &&
           PyCFunction_GET_FUNCTION(m) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<M>));
}

/// True when `attr` is `original` bound to `self`. `original` is what the
/// class held when the module started: a Python function (a C++ body the
/// module wrapped in Python, such as a context manager), or the method
/// descriptor of a C method, possibly another module's.
inline bool is_own_method(handle attr, handle self, handle original) {
    PyObject *m = attr.ptr();
    if (m == nullptr || !original.is_valid()) return false;
    if (PyObject_TypeCheck(original.ptr(), &PyMethodDescr_Type))
        return PyCFunction_Check(m) && PyCFunction_GET_SELF(m) == self.ptr() &&
               PyCFunction_GET_FUNCTION(m) ==
                   reinterpret_cast<PyMethodDescrObject *>(original.ptr())->d_method->ml_meth;
    return PyMethod_Check(m) && PyMethod_GET_SELF(m) == self.ptr() && PyMethod_GET_FUNCTION(m) == original.ptr();
}

/// True when `fn` is the C function `name` that the module `module_name`
/// (another extension module, so its entry points are not ours to compare)
/// made, not something bound in its place.
bool is_module_function(handle fn, handle module_name, const char *name);

/// True when `scope[name]` (a module's globals or a class's own dict) is still
/// `captured`, the object found there when the module was loaded.
inline bool still_bound(handle scope, handle name, handle captured) {
    return captured.is_valid() && dict_get(scope, name).ptr() == captured.ptr();
}

/// Look `M`'s name up on `self` and test the result with `is_own_method`. A
/// missing attribute answers false: the call through Python then raises its
/// AttributeError where it belongs; any other failure of the look-up is raised.
template <const Method &M>
bool resolves_to_own_method(handle self) {
    return is_own_method<M>(get_optional_attr(self, M.sig.name()), self);
}

inline bool resolves_to_own_method(handle self, handle name, handle original) {
    return is_own_method(get_optional_attr(self, name), self, original);
}

/// The test of a class that runs C++ bodies only for its exact instances:
/// `self` is exactly of `type` and `self.<name>` is still its own `M`.
/// Costs one attribute look-up: decide once per operation, not per item.
template <const Method &M>
bool is_exact_with_own_method(handle self, handle type) {
    return Py_TYPE(self.ptr()) == reinterpret_cast<PyTypeObject *>(type.ptr()) && resolves_to_own_method<M>(self);
}

inline bool is_exact_with_own_method(handle self, handle type, handle name, handle original) {
    return Py_TYPE(self.ptr()) == reinterpret_cast<PyTypeObject *>(type.ptr()) &&
           resolves_to_own_method(self, name, original);
}

/// `obj.<M's name>(args...)`: `own()`, the body with what it needs already
/// known, when the attribute is still `M` bound to `obj`; otherwise the
/// attribute is called through Python. What `own` returns decides the
/// answer: a bool is compared with the truth of the call's result (as an `if`
/// in Python would take it), an object is the result, void discards it.
template <const Method &M, class Own, class... A>
auto own_or_call(handle obj, Own &&own, A... args) {
    object attr = get_attr(obj, M.sig.name());
    using R = std::invoke_result_t<Own>;
    if (is_own_method<M>(attr, obj)) return own();
    if constexpr (std::is_same_v<R, bool>)
        return truthy(call(attr, args...));
    else if constexpr (std::is_void_v<R>)
        call(attr, args...);
    else
        return R(call(attr, args...));
}

}  // namespace vk
