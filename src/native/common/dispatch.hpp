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
/// method `Fn` bound to `self`.
template <FastFn Fn>
bool is_own_method(handle bound, handle self) {
    PyObject *m = bound.ptr();
    return PyCFunction_Check(m) && PyCFunction_GET_SELF(m) == self.ptr() &&
           PyCFunction_GET_FUNCTION(m) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>));
}

}  // namespace vk
