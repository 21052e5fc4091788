// Calling a method "through the instance" without paying for the call when
// nothing overrides it.
//
// `obj.name` is looked up as Python would (instance attribute, subclass,
// class patched at run time). When the result is the C++ method `Fn` itself,
// bound to `obj`, running its body directly is the same call; anything else
// is called like a Python method.
#pragma once

#include "common/pyclass.hpp"

namespace vk {

/// True when `bound` (the result of looking a method up on `self`) is the C++
/// method `Fn` bound to `self`, or the C++ static method `Fn`.
template <FastFn Fn>
bool is_own_method(handle bound, handle self) {
    PyObject *m = bound.ptr();
    if (!PyCFunction_Check(m)) return false;
    PyObject *bound_self = PyCFunction_GET_SELF(m);
    return (bound_self == self.ptr() || bound_self == nullptr) &&
           PyCFunction_GET_FUNCTION(m) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>));
}

/// Look `name` up on `self` and test it with `is_own_method`. A failed
/// look-up answers false: the call through Python then raises it where it
/// belongs.
template <FastFn Fn>
bool resolves_to_own_method(handle self, handle name) {
    PyObject *attr = PyObject_GetAttr(self.ptr(), name.ptr());
    if (attr == nullptr) {
        PyErr_Clear();
        return false;
    }
    object bound = nb::steal(attr);
    return is_own_method<Fn>(bound, self);
}

}  // namespace vk
