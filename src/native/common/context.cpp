#include "common/context.hpp"

namespace vk {

ContextMethods context_methods(handle mgr) {
    handle type = handle(reinterpret_cast<PyObject *>(Py_TYPE(mgr.ptr())));
    ContextMethods m{get_optional_attr(type, common_names.__enter__), object()};
    if (!m.enter.is_valid())
        raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     tp_name_of(mgr));
    m.exit = get_optional_attr(type, common_names.__exit__);
    if (!m.exit.is_valid())
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     tp_name_of(mgr));
    return m;
}

}  // namespace vk
