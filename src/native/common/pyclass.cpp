#include "common/pyclass.hpp"

#include "common/errors.hpp"

#include <cstring>
#include <deque>
#include <string>

namespace vk {

const char *signed_doc(const Signature &sig, const char *body, const char *receiver) {
    // Never freed: method tables point into it until the process ends.
    static auto *kept = new std::deque<std::string>;
    return kept->emplace_back(text_signature(sig, receiver) + body).c_str();
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

object make_dataclass(const char *module_name, const char *name, std::span<const FieldSpec> fields) {
    const CommonNames &n = common_names;
    object dataclasses = import_module("dataclasses");
    object field_fn = get_attr(dataclasses, n.field);
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
            object fld = f.repr ? call_kw(field_fn, {}, {{n.default_factory, f.default_}})
                                : call_kw(field_fn, {}, {{n.default_factory, f.default_}, {n.repr, handle(Py_False)}});
            entry = steal_or_raise(PyTuple_Pack(3, fname.ptr(), f.type.ptr(), fld.ptr()));
            break;
        }
        }
        check(PyList_Append(entries.ptr(), entry.ptr()));
    }
    object make = get_attr(dataclasses, n.make_dataclass);
    return call_kw(make, {make_str(name), entries}, {{n.module, make_str(module_name)}});
}

object typing_subscript(const char *name, std::initializer_list<handle> args) {
    object generic = get_attr(import_module("typing"), make_str(name));
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
    name_ = get_attr(module, common_names.__name__).release();
}

void ModuleGlobals::set(const char *name, handle value) const {
    check(PyDict_SetItemString(dict_.ptr(), name, value.ptr()));
}

object import_module(const char *name) { return steal_or_raise(PyImport_ImportModule(name)); }

object import_optional(handle name) {
    PyObject *module = PyImport_Import(name.ptr());
    if (module != nullptr) return nb::steal(module);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) raise_pending();
    PyErr_Clear();
    return object();
}

object package_module_name(handle module_name, int levels, const char *relative) {
    object parts = steal_or_raise(PyUnicode_RSplit(module_name.ptr(), make_str(".").ptr(), levels));
    object package = steal_or_raise(PySequence_GetItem(parts.ptr(), 0));
    return steal_or_raise(PyUnicode_FromFormat("%U.%s", package.ptr(), relative));
}

object import_from_package(handle module_name, int levels, const char *relative) {
    return steal_or_raise(PyImport_Import(package_module_name(module_name, levels, relative).ptr()));
}

object lookup_global(handle module_dict, handle name) {
    handle v = dict_get(module_dict, name);
    if (!v.is_valid()) raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return nb::borrow(v);
}

object lookup_builtin(handle name) {
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins == nullptr) raise_pending();
    handle v = dict_get(handle(builtins), name);
    if (!v.is_valid()) raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return nb::borrow(v);
}

}  // namespace vk
