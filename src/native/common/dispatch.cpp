#include "common/dispatch.hpp"

#include <cstring>

namespace vk {

bool is_module_function(handle fn, handle module_name, const char *name) {
    if (!PyCFunction_Check(fn.ptr())) return false;
    auto *c = reinterpret_cast<PyCFunctionObject *>(fn.ptr());
    if (std::strcmp(c->m_ml->ml_name, name) != 0) return false;
    PyObject *owner = c->m_module;
    if (owner == nullptr || !PyUnicode_Check(owner)) return false;
    int eq = PyUnicode_Compare(owner, module_name.ptr());
    if (eq == -1 && PyErr_Occurred()) raise_pending();
    return eq == 0;
}

}  // namespace vk
