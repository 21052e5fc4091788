// "Is this method still the module's own?": calling a method through the
// instance without paying for the call when nothing overrides it.
//
// `obj.name` is looked up as Python would (instance attribute, subclass,
// class patched at run time). When the result is the module's own method
// bound to `obj` (or its own static method or module function, unbound),
// running the C++ body directly is the same call; anything else is called
// like a Python method. Callers that promise a fast path only for their exact
// class test the type first.
#pragma once

#include "common/pyclass.hpp"

namespace vk {

/// True when `attr` (what looking a method up on `self` gave) is the C++
/// method `Fn` bound to `self`, or the unbound C++ function `Fn` (a static
/// method or a module function; pass an empty `self` for the latter).
template <FastFn Fn>
bool is_own_method(handle attr, handle self) {
    PyObject *m = attr.ptr();
    if (m == nullptr || !PyCFunction_Check(m)) return false;
    PyObject *bound_self = PyCFunction_GET_SELF(m);
    return (bound_self == self.ptr() || bound_self == nullptr) &&
           PyCFunction_GET_FUNCTION(m) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>));
}

/// True when `attr` is the Python function `original` (a C++ body the module
/// wrapped in Python, such as a context manager) bound to `self`.
inline bool is_own_method(handle attr, handle self, handle original) {
    PyObject *m = attr.ptr();
    return m != nullptr && PyMethod_Check(m) && PyMethod_GET_SELF(m) == self.ptr() &&
           PyMethod_GET_FUNCTION(m) == original.ptr();
}

/// Look `name` up on `self` and test the result with `is_own_method`
///. A missing
/// attribute answers false: the call through Python then raises its
/// AttributeError where it belongs; any other failure of the look-up is raised.
template <FastFn Fn>
bool resolves_to_own_method(handle self, handle name) {
    return is_own_method<Fn>(get_optional_attr(self, name), self);
}

inline bool resolves_to_own_method(handle self, handle name, handle original) {
    return is_own_method(get_optional_attr(self, name), self, original);
}

}  // namespace vk
