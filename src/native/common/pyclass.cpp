#include "common/pyclass.hpp"

#include "common/errors.hpp"

#include <cstring>
#include <exception>

namespace vk {

handle interned(const char *text) {
    // One reference per distinct text, held by `kept` and deliberately never
    // released (see py.hpp). Asking again for a text already kept adds no
    // reference, so a call on a hot path leaks nothing.
    static PyObject *kept = nullptr;
    if (kept == nullptr && (kept = PyDict_New()) == nullptr) raise_pending();
    PyObject *s = PyUnicode_InternFromString(text);
    if (s == nullptr) raise_pending();
    PyObject *held = PyDict_SetDefault(kept, s, s);  // borrowed
    Py_DECREF(s);
    if (held == nullptr) raise_pending();
    return handle(held);
}

PyObject *restore_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        // Only nanobind's own helpers raise these; keep their text.
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

object new_plain_class(const char *module_name, const char *name, const char *doc) {
    object ns = steal_or_raise(PyDict_New());
    check(PyDict_SetItemString(ns.ptr(), "__module__", make_str(module_name).ptr()));
    check(PyDict_SetItemString(ns.ptr(), "__qualname__", make_str(name).ptr()));
    if (doc != nullptr) check(PyDict_SetItemString(ns.ptr(), "__doc__", make_str(doc).ptr()));
    object bases = steal_or_raise(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    return call(handle(reinterpret_cast<PyObject *>(&PyType_Type)), make_str(name), bases, ns);
}

void add_methods(handle cls, PyMethodDef *defs) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (PyMethodDef *def = defs; def->ml_name != nullptr; ++def) {
        object descr;
        if (std::strcmp(def->ml_name, "__init__") == 0) {
            object fn = steal_or_raise(PyCFunction_NewEx(def, nullptr, nullptr));
            descr = steal_or_raise(PyInstanceMethod_New(fn.ptr()));
        } else if (def->ml_flags & METH_CLASS) {
            descr = steal_or_raise(PyDescr_NewClassMethod(type, def));
        } else if (def->ml_flags & METH_STATIC) {
            object fn = steal_or_raise(PyCFunction_NewEx(def, nullptr, nullptr));
            descr = steal_or_raise(PyStaticMethod_New(fn.ptr()));
        } else {
            descr = steal_or_raise(PyDescr_NewMethod(type, def));
        }
        // Through type.__setattr__ so that dunder methods update the type slots.
        check(PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()));
    }
}

object new_function(PyMethodDef *def, handle module_name) {
    return steal_or_raise(PyCFunction_NewEx(def, nullptr, module_name.ptr()));
}

object make_dataclass(const char *module_name, const char *name, std::initializer_list<FieldSpec> fields) {
    object dataclasses = steal_or_raise(PyImport_ImportModule("dataclasses"));
    object field_fn = get_attr(dataclasses, interned("field"));
    object entries = steal_or_raise(PyList_New(0));
    for (const FieldSpec &f : fields) {
        object fname = make_str(f.name);
        object entry;
        switch (f.mode) {
        case FieldSpec::Mode::required:
            entry = steal_or_raise(PyTuple_Pack(2, fname.ptr(), f.type.ptr()));
            break;
        case FieldSpec::Mode::value:
            entry = steal_or_raise(PyTuple_Pack(3, fname.ptr(), f.type.ptr(), f.default_.ptr()));
            break;
        case FieldSpec::Mode::factory: {
            object kwargs = steal_or_raise(PyDict_New());
            check(PyDict_SetItemString(kwargs.ptr(), "default_factory", f.default_.ptr()));
            if (!f.repr) check(PyDict_SetItemString(kwargs.ptr(), "repr", Py_False));
            object empty = steal_or_raise(PyTuple_New(0));
            object fld = steal_or_raise(PyObject_Call(field_fn.ptr(), empty.ptr(), kwargs.ptr()));
            entry = steal_or_raise(PyTuple_Pack(3, fname.ptr(), f.type.ptr(), fld.ptr()));
            break;
        }
        }
        check(PyList_Append(entries.ptr(), entry.ptr()));
    }
    object make = get_attr(dataclasses, interned("make_dataclass"));
    object args = steal_or_raise(PyTuple_Pack(2, make_str(name).ptr(), entries.ptr()));
    object kwargs = steal_or_raise(PyDict_New());
    check(PyDict_SetItemString(kwargs.ptr(), "module", make_str(module_name).ptr()));
    return steal_or_raise(PyObject_Call(make.ptr(), args.ptr(), kwargs.ptr()));
}

object typing_subscript(const char *name, std::initializer_list<handle> args) {
    object typing = steal_or_raise(PyImport_ImportModule("typing"));
    object generic = get_attr(typing, interned(name));
    object key;
    if (args.size() == 1) {
        key = nb::borrow(*args.begin());
    } else {
        key = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
        Py_ssize_t i = 0;
        for (handle a : args) PyTuple_SET_ITEM(key.ptr(), i++, nb::borrow(a).release().ptr());
    }
    return steal_or_raise(PyObject_GetItem(generic.ptr(), key.ptr()));
}

ModuleGlobals::ModuleGlobals(handle module) : dict_(PyModule_GetDict(module.ptr())) {
    if (PyDict_GetItemString(dict_.ptr(), "__builtins__") == nullptr)
        check(PyDict_SetItemString(dict_.ptr(), "__builtins__", PyEval_GetBuiltins()));
    name_ = get_attr(module, interned("__name__")).release();
}

void ModuleGlobals::set(const char *name, handle value) const {
    check(PyDict_SetItemString(dict_.ptr(), name, value.ptr()));
}

object import_module(const char *name) { return steal_or_raise(PyImport_ImportModule(name)); }

object lookup_global(handle module_dict, handle name) {
    handle v = dict_get(module_dict, name);
    if (!v.is_valid()) raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return nb::borrow(v);
}

}  // namespace vk
