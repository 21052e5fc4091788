// Module initialisation through CPython's multi-phase protocol.
//
// `VK_MODULE(id, ns, doc, set) { ... }` defines `PyInit_<id>`, which
// returns a module definition with one exec slot. The exec slot sets up
// nanobind once (for its handles and error types), interns the shared layer's
// strings and the module's `ns::names`, records the module's globals and name
// in `ns::state`, and runs the body, which binds the module's names in
// definition order with `set("name", value)`. A failure of the body is raised
// as its own exception, so a broken dependency does not look like a missing
// one to code that catches ImportError.
#pragma once

#include "common/pyclass.hpp"

namespace vk {

using ModuleBody = void (*)(handle module);

/// The exec slot: 0, or -1 with the body's exception (or the translation of
/// a C++ exception) pending.
int exec_module(PyObject *module, ModuleBody body) noexcept;

}  // namespace vk

/// Fill the field `n` of the module's `names` with the interned text "n".
#define VK_NAME(n) (names.n = ::vk::interned(#n))

#define VK_MODULE(id, ns, doc, set)                                                                \
    static void vk_module_body_##id(const ::vk::ModuleGlobals &);                                  \
    static int vk_module_exec_##id(PyObject *m) {                                                  \
        return ::vk::exec_module(m, [](::vk::handle module) {                                      \
            ::vk::ModuleGlobals globals(module);                                                   \
            ns::init_names();                                                                      \
            ns::state.module_dict = globals.dict();                                                \
            ns::state.module_name = globals.name();                                                \
            vk_module_body_##id(globals);                                                          \
        });                                                                                        \
    }                                                                                              \
    static PyModuleDef_Slot vk_module_slots_##id[] = {                                             \
        {Py_mod_exec, reinterpret_cast<void *>(&vk_module_exec_##id)},                             \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                \
        {0, nullptr},                                                                              \
    };                                                                                             \
    static PyModuleDef vk_module_def_##id = {                                                      \
        PyModuleDef_HEAD_INIT, #id, doc, 0, nullptr, vk_module_slots_##id, nullptr, nullptr,       \
        nullptr,                                                                                   \
    };                                                                                             \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##id(void);                             \
    extern "C" PyObject *PyInit_##id(void) { return PyModuleDef_Init(&vk_module_def_##id); }       \
    static void vk_module_body_##id(const ::vk::ModuleGlobals &set)
