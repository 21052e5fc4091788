#include "common/py.hpp"

#include <array>

namespace vk {

CommonNames common_names;

handle interned(const char *text) {
    // One reference per distinct text, held by `kept` and deliberately never
    // released (see py.hpp). Asking again for a text already kept adds no
    // reference.
    static PyObject *kept = nullptr;
    if (kept == nullptr && (kept = PyDict_New()) == nullptr) raise_pending();
    object s = steal_or_raise(PyUnicode_InternFromString(text));
    PyObject *held = PyDict_SetDefault(kept, s.ptr(), s.ptr());  // borrowed
    if (held == nullptr) raise_pending();
    return handle(held);
}

handle class_attr(handle type, handle name) {
    PyObject *mro = reinterpret_cast<PyTypeObject *>(type.ptr())->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        // PyType_GetDict also serves the built-in types, whose namespace is
        // not in their tp_dict.
        object dict = nb::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))));
        if (!dict.is_valid()) continue;
        handle attr = dict_get(dict, name);
        if (attr.is_valid()) return attr;
    }
    return handle();
}

bool plain_attribute(handle type, handle name) {
    if (reinterpret_cast<PyTypeObject *>(type.ptr())->tp_getattro != PyObject_GenericGetAttr) return false;
    handle attr = class_attr(type, name);
    return !attr.is_valid() ||
           (Py_TYPE(attr.ptr())->tp_descr_get == nullptr && Py_TYPE(attr.ptr())->tp_descr_set == nullptr);
}

void init_common_names() {
    CommonNames &n = common_names;
    n.get = interned("get");
    n.__enter__ = interned("__enter__");
    n.__exit__ = interned("__exit__");
    n.__name__ = interned("__name__");
    n.field = interned("field");
    n.make_dataclass = interned("make_dataclass");
    n.default_factory = interned("default_factory");
    n.repr = interned("repr");
    n.module = interned("module");
}

object call_kw(handle fn, std::initializer_list<handle> args, std::initializer_list<Kw> kwargs) {
    // Slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
    constexpr std::size_t MAX_ARGS = 16;
    std::array<PyObject *, MAX_ARGS + 1> argv{};
    if (args.size() + kwargs.size() > MAX_ARGS) {
        PyErr_SetString(PyExc_RuntimeError, "call_kw: too many arguments");
        raise_pending();
    }
    std::size_t n = 1;
    for (handle a : args) argv[n++] = a.ptr();
    object kwnames = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const Kw &kw : kwargs) {
        PyTuple_SET_ITEM(kwnames.ptr(), k++, nb::borrow(kw.name).release().ptr());
        argv[n++] = kw.value.ptr();
    }
    return steal_or_raise(PyObject_Vectorcall(fn.ptr(), argv.data() + 1,
                                              args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              kwargs.size() > 0 ? kwnames.ptr() : nullptr));
}

object get_or(handle mapping, handle key, handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        handle v = dict_get(mapping, key);
        return nb::borrow(v.is_valid() ? v : fallback);
    }
    return call_method(mapping, common_names.get, key, fallback);
}

}  // namespace vk
