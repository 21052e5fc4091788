#include "common/args.hpp"

#include "common/errors.hpp"

namespace vk {

namespace {

// Counts in messages include the object itself for methods.
[[noreturn]] void raise_count(const Signature &sig, const char *more_or_less, std::size_t expected,
                              Py_ssize_t given) {
    Py_ssize_t self = sig.is_method ? 1 : 0;
    Py_ssize_t num_expected = static_cast<Py_ssize_t>(expected) + self;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.func_name, more_or_less, num_expected, num_expected == 1 ? "" : "s",
                 given + self);
}

PyObject *param_name(const Signature &sig, std::size_t i) {
    if (sig.names[i] == nullptr) sig.names[i] = interned(sig.params[i].name).ptr();
    return sig.names[i];
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature &sig, PyObject *key) {
    for (std::size_t i = 0; i < sig.count; ++i)
        if (param_name(sig, i) == key) return static_cast<Py_ssize_t>(i);
    // Keyword names are usually interned by the compiler; fall back to
    // comparing text for names built at run time.
    for (std::size_t i = 0; i < sig.count; ++i) {
        int eq = PyUnicode_Compare(param_name(sig, i), key);
        if (eq == -1 && PyErr_Occurred()) raise_pending();
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

handle Signature::name() const {
    if (name_object == nullptr) name_object = interned(func_name).ptr();
    return handle(name_object);
}

std::string text_signature(const Signature &sig, const char *receiver) {
    std::string text = sig.func_name;
    text += '(';
    const char *sep = "";
    if (sig.is_method) {
        text += receiver;
        text += ", /";
        sep = ", ";
    }
    bool star = false;
    for (std::size_t i = 0; i < sig.count; ++i) {
        const Param &p = sig.params[i];
        text += sep;
        sep = ", ";
        if (p.kind == Kind::keyword_only && !star) {
            text += "*, ";
            star = true;
        }
        text += p.name;
        if (!p.required) {
            text += '=';
            text += p.default_text;
        }
    }
    text += ")\n--\n\n";
    return text;
}

Args parse_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Args out;
    const bool exact = sig.n_required_positional == sig.n_positional;
    if (nargs > static_cast<Py_ssize_t>(sig.n_positional))
        raise_count(sig, exact ? "exactly" : "at most", sig.n_positional, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[static_cast<std::size_t>(i)] = args[i];

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key))
                raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func_name);
            Py_ssize_t idx = find_param(sig, key);
            if (idx < 0)
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.func_name, key);
            std::size_t at = static_cast<std::size_t>(idx);
            if (out.values_[at] != nullptr)
                raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.func_name, key);
            out.values_[at] = args[nargs + k];
        }
    }

    for (std::size_t i = 0; i < sig.count; ++i) {
        const Param &p = sig.params[i];
        if (!p.required || out.values_[i] != nullptr) continue;
        if (p.kind == Kind::positional)
            raise_count(sig, exact ? "exactly" : "at least", sig.n_required_positional, nargs);
        raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", sig.func_name,
                     param_name(sig, i));
    }
    return out;
}

}  // namespace vk
