// Module initialisation that lets a load failure through unchanged.
//
// NB_MODULE reports any failure of the module body as an ImportError
// ("Encountered an error while initializing the extension.") chained to the
// real one, so a broken dependency would look like a missing one to code
// that catches ImportError. A module declared with VK_MODULE fails with the
// body's own exception: the body runs inside nanobind's initialisation (so
// nanobind is set up as usual), keeps its failure, and the module's exec
// slot raises it as it was.
#pragma once

#include "common/py.hpp"

#include <utility>

namespace vk::detail {

using ExecFn = int (*)(PyObject *);

/// The failure of a module body, kept until the exec slot raises it.
inline PyObject *init_failure = nullptr;

/// Put `replacement` in the exec slot of a multi-phase module definition,
/// keeping the previous function in `*original`. Anything else (a module
/// made by single-phase initialisation, or null) is returned as it is.
inline PyObject *wrap_exec(PyObject *def, ExecFn *original, ExecFn replacement) {
    if (def == nullptr || !PyObject_TypeCheck(def, &PyModuleDef_Type)) return def;
    auto *d = reinterpret_cast<PyModuleDef *>(def);
    for (PyModuleDef_Slot *s = d->m_slots; s != nullptr && s->slot != 0; ++s) {
        if (s->slot != Py_mod_exec) continue;
        if (s->value != reinterpret_cast<void *>(replacement)) {
            *original = reinterpret_cast<ExecFn>(s->value);
            s->value = reinterpret_cast<void *>(replacement);
        }
        break;
    }
    return def;
}

/// Raise a kept failure: -1 with the error set, or `rc` when there is none.
inline int raise_init_failure(int rc) {
    if (init_failure == nullptr) return rc;
    PyErr_SetRaisedException(std::exchange(init_failure, nullptr));
    return -1;
}

}  // namespace vk::detail

#define VK_MODULE(name, variable)                                                          \
    static void vk_module_body_##name(nanobind::module_ &);                                \
    static vk::detail::ExecFn vk_module_nb_exec_##name = nullptr;                          \
    NB_MODULE(name##_nb, vk_module_) {                                                     \
        try {                                                                              \
            vk_module_body_##name(vk_module_);                                             \
        } catch (nanobind::python_error & e) {                                             \
            e.restore();                                                                   \
            vk::detail::init_failure = PyErr_GetRaisedException();                         \
        }                                                                                  \
    }                                                                                      \
    static int vk_module_exec_##name(PyObject *m) {                                        \
        int rc = vk_module_nb_exec_##name(m);                                              \
        return rc < 0 ? rc : vk::detail::raise_init_failure(rc);                           \
    }                                                                                      \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                   \
    extern "C" PyObject *PyInit_##name(void) {                                             \
        PyObject *def = vk::detail::wrap_exec(PyInit_##name##_nb(), &vk_module_nb_exec_##name, \
                                              &vk_module_exec_##name);                     \
        if (def != nullptr && !PyObject_TypeCheck(def, &PyModuleDef_Type) &&               \
            vk::detail::raise_init_failure(0) < 0) {                                       \
            Py_DECREF(def);                                                                \
            return nullptr;                                                                \
        }                                                                                  \
        return def;                                                                        \
    }                                                                                      \
    static void vk_module_body_##name(nanobind::module_ &variable)
