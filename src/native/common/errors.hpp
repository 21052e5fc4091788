// The fixed argument messages shared by all modules, and the exact-type tests
// that raise them. Callers match on these texts, so they live in one place.
#pragma once

#include "common/py.hpp"

namespace vk {

/// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
extern const char *const ARG_TYPE_FORMAT;

/// Raise TypeError with ARG_TYPE_FORMAT naming `arg`, `expected` and the type of `got`.
[[noreturn]] void raise_arg_type(const char *arg, const char *expected, handle got);

/// Raise `exc` with a printf-style message (PyErr_Format rules: %U, %R, %zd...).
[[noreturn]] void raise_format(PyObject *exc, const char *format, ...);

// Exact-type tests: a subclass of the required type is refused like any other
// type, and so is None unless the parameter is optional.
void require_exact_dict(handle value, const char *arg);
void require_exact_list(handle value, const char *arg);
void require_exact_set(handle value, const char *arg);
void require_exact_str(handle value, const char *arg);
void require_exact_bytes(handle value, const char *arg);
void require_exact_str_or_none(handle value, const char *arg);
void require_exact_list_or_none(handle value, const char *arg);
void require_exact_dict_or_none(handle value, const char *arg);
void require_exact_set_or_none(handle value, const char *arg);

inline bool is_exact_str(handle v) { return PyUnicode_CheckExact(v.ptr()); }
inline bool is_exact_dict(handle v) { return PyDict_CheckExact(v.ptr()); }
inline bool is_exact_list(handle v) { return PyList_CheckExact(v.ptr()); }

}  // namespace vk
