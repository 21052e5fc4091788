#include "common/module.hpp"

#include "common/errors.hpp"

namespace vk {

namespace {

// nanobind's state (through its public registration of a module it did not
// create) is anchored to a private module of this library, so that the
// extension module's own namespace holds only what it defines. The anchor is
// kept for the life of the process, like the interned names.
bool register_with_nanobind() noexcept {
    static bool registered = false;
    if (registered) return true;
    object anchor = nb::steal(PyModule_New("vesperkit._native_runtime"));
    if (!anchor.is_valid() || !nb::register_module(anchor)) return false;
    anchor.release();
    registered = true;
    return true;
}

}  // namespace

int exec_module(PyObject *module, ModuleBody body) noexcept {
    if (!register_with_nanobind()) return -1;  // nanobind left its error set
    try {
        init_common_names();
        body(handle(module));
        return 0;
    } catch (...) {
        restore_exception();
        return -1;
    }
}

}  // namespace vk
