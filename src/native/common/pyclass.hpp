// Plain Python classes, data classes and functions backed by C++.
//
// The public classes of the modules are ordinary classes (metaclass `type`,
// base `object`, state in the instance `__dict__`), so that attributes are
// read, assigned and subclassed exactly as for a class written in Python.
// Their methods are CPython method descriptors over vectorcall entry points:
// no argument tuple or dict is built per call, and the text signature that
// heads each docstring (made from the signature the entry point parses with)
// gives `inspect.signature` and `help()` the real parameters.
// Records are real data classes made by `dataclasses.make_dataclass`.
#pragma once

#include "common/args.hpp"
#include "common/errors.hpp"

#include <cstring>
#include <initializer_list>
#include <new>
#include <span>

namespace vk {

/// A vectorcall entry point that reads its arguments itself.
using FastFn = object (*)(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

/// The body of a function or method: `self` (the object; the module or null
/// for functions and static methods) and its arguments, already matched
/// against the signature.
using Body = object (*)(handle self, const Args &args);

/// One function or method: its signature, declared once, its body and its
/// docstring. The signature is what the entry point parses with and what the
/// docstring's text signature is made from. Each is defined beside its body,
///     constinit Method def::name{{"name", true, {req("a"), opt("b", "1")}}, Body_fn, "Docstring."};
/// and declared `extern` in the module's header, so that the method table and
/// the "still ours?" tests name the same object.
struct Method {
    Signature sig;
    Body body;
    const char *doc;  ///< the docstring, after the text signature made from `sig`
    int flags = 0;    ///< METH_STATIC or METH_CLASS for such methods of a class
};

/// The vectorcall entry point of `M`: parses, then runs the body. C++
/// exceptions never cross into the interpreter; a Python error travels back
/// unchanged.
template <const Method &M>
PyObject *fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    try {
        return M.body(handle(self), parse_args(M.sig, args, nargs, kwnames)).release().ptr();
    } catch (...) {
        return restore_exception();
    }
}

/// The entry point of an `__init__`: it is stored as a plain function wrapped
/// for instance binding (so that `inspect.signature` of the class works), and
/// receives the object as its first positional argument, like a Python
/// `__init__` looked up on the class.
template <const Method &M>
PyObject *fastcall_init(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "__init__() needs the object to initialise");
        return nullptr;
    }
    try {
        return M.body(handle(args[0]), parse_args(M.sig, args + 1, nargs - 1, kwnames)).release().ptr();
    } catch (...) {
        return restore_exception();
    }
}

/// The entry point of a raw `Fn`, for callbacks that take what they are given.
template <FastFn Fn>
PyObject *raw_fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    try {
        return Fn(handle(self), args, nargs, kwnames).release().ptr();
    } catch (...) {
        return restore_exception();
    }
}

/// The text signature of `sig` followed by `body`, kept for the life of the
/// process (a method table points at it). Made once, when the table is built.
const char *signed_doc(const Signature &sig, const char *body, const char *receiver = "$self");

/// The `PyMethodDef` of `M`: METH_FASTCALL | METH_KEYWORDS and its flags,
/// named and documented by it. An `__init__` is stored as a plain function
/// (see `fastcall_init`).
template <const Method &M>
PyMethodDef method_def() {
    const bool init = std::strcmp(M.sig.func_name, "__init__") == 0;
    PyCFunctionFastWithKeywords entry = init ? &fastcall_init<M> : &fastcall<M>;
    return PyMethodDef{M.sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                       METH_FASTCALL | METH_KEYWORDS | M.flags,
                       signed_doc(M.sig, M.doc, (M.flags & METH_CLASS) ? "$cls" : "$self")};
}

/// The method table of a class, in definition order, with static storage.
template <const Method &...Ms>
PyMethodDef *method_table() {
    static PyMethodDef defs[] = {method_def<Ms>()..., {nullptr, nullptr, 0, nullptr}};
    return defs;
}

/// The `PyMethodDef` of a module function, with static storage.
template <const Method &M>
PyMethodDef *function_def() {
    static PyMethodDef def = method_def<M>();
    return &def;
}

/// A `PyMethodDef` for a raw entry point (no signature of its own).
template <FastFn Fn>
constexpr PyMethodDef raw_method_def(const char *name, const char *doc) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&raw_fastcall<Fn>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

/// A new plain class `name` in module `module_name`.
object new_plain_class(const char *module_name, const char *name, const char *doc);

/// Attach the methods of a `{nullptr}`-terminated table with static storage:
/// instance methods, METH_STATIC static methods, METH_CLASS class methods and
/// an `__init__` (see `method_def`).
void add_methods(handle cls, PyMethodDef *defs);

/// A module-level function for one `PyMethodDef` with static storage.
object new_function(PyMethodDef *def, handle module_name);

/// One field of a data class: `name: type`, optionally with a default value
/// or a default factory, and optionally left out of the generated repr.
struct FieldSpec {
    enum class Mode { required, value, factory };
    const char *name;
    handle type;
    Mode mode = Mode::required;
    handle default_ = handle();  // the value or the factory
    bool repr = true;
};

inline FieldSpec field_required(const char *name, handle type) { return {name, type}; }
inline FieldSpec field_value(const char *name, handle type, handle value) {
    return {name, type, FieldSpec::Mode::value, value};
}
inline FieldSpec field_factory(const char *name, handle type, handle factory, bool repr = true) {
    return {name, type, FieldSpec::Mode::factory, factory, repr};
}

/// `dataclasses.make_dataclass(name, fields, module=module_name)` with the
/// standard options: generated `__init__`, `__repr__` and `__eq__`.
object make_dataclass(const char *module_name, const char *name, std::span<const FieldSpec> fields);
inline object make_dataclass(const char *module_name, const char *name, std::initializer_list<FieldSpec> fields) {
    return make_dataclass(module_name, name, std::span<const FieldSpec>(fields.begin(), fields.size()));
}

/// `typing.<name>[args...]`, for annotations.
object typing_subscript(const char *name, std::initializer_list<handle> args);

/// The globals of a module being initialised. `__builtins__` is put first, as
/// the import system does for a module written in Python, so that the
/// module's own names follow it in definition order.
class ModuleGlobals {
public:
    explicit ModuleGlobals(handle module);
    handle dict() const { return dict_; }
    /// The module's `__name__`, kept for the life of the process.
    handle name() const { return name_; }
    /// Bind `name` to `value` (after the names bound before it).
    void set(const char *name, handle value) const;
    void operator()(const char *name, handle value) const { set(name, value); }

private:
    handle dict_;
    handle name_;
};

/// `import name`, raising the import's own error.
object import_module(const char *name);

/// `import name`, or an empty object when that raises ImportError (an
/// optional dependency); any other failure is raised.
object import_optional(handle name);

/// The name of the module `relative` in the package `levels` levels above
/// the module `module_name` ("vesperkit.graph.concept_mesh", 2, "utils.text":
/// "vesperkit.utils.text"), so that the host package is found where the
/// module was loaded from, whatever it is called.
object package_module_name(handle module_name, int levels, const char *relative);

/// `import` of `package_module_name(module_name, levels, relative)`.
object import_from_package(handle module_name, int levels, const char *relative);

/// Look a name up in a module's globals at call time, raising NameError like
/// Python code does when the name was deleted. The result is owned, so a
/// callback that rebinds the name cannot free what the caller is using.
object lookup_global(handle module_dict, handle name);

/// A builtin looked up at call time in the interpreter's builtins (so that a
/// patched `builtins.sum` is seen), raising NameError when it was deleted.
object lookup_builtin(handle name);

}  // namespace vk
