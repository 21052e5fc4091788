// The `with` statement, for C++ bodies run inside a Python context manager.
#pragma once

#include "common/errors.hpp"

#include <utility>

namespace vk {

/// `type(mgr).__enter__` and `type(mgr).__exit__`, looked up on the type as
/// the `with` statement does, with its TypeError when either is missing.
struct ContextMethods {
    object enter, exit;
};
ContextMethods context_methods(handle mgr);

/// `with mgr as value: body(value)`. Returns false when the block ended
/// normally, true when `__exit__` swallowed the body's exception; otherwise
/// the body's exception (or one raised by `__exit__`) propagates.
template <class Body>
bool with_context(handle mgr, Body &&body) {
    ContextMethods m = context_methods(mgr);
    object value = call(m.enter, mgr);
    try {
        body(handle(value));
    } catch (...) {
        object exc = take_current_exception();
        PyObject *raw_tb = PyException_GetTraceback(exc.ptr());
        object tb = raw_tb != nullptr ? nb::steal(raw_tb) : nb::none();
        object swallowed = call(m.exit, mgr, handle(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), exc, tb);
        if (truthy(swallowed)) return true;
        reraise(std::move(exc));
    }
    call(m.exit, mgr, handle(Py_None), handle(Py_None), handle(Py_None));
    return false;
}

}  // namespace vk
