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

// ---------------------------------------------------------------- C++ exceptions

/// The one translation point from C++ to Python: make the C++ exception being
/// handled (call inside a catch block) the pending Python error and return
/// null. A Python error travels back unchanged; `std::bad_alloc` and a size
/// the library cannot allocate (`std::length_error`) are MemoryError, as an
/// impossible allocation is in Python; the other standard exceptions map to
/// their Python counterparts (out_of_range: IndexError, invalid_argument and
/// domain_error: ValueError, overflow_error and range_error: OverflowError),
/// anything else is a RuntimeError. Never SystemError, which would say the
/// interpreter was misused.
PyObject *restore_exception() noexcept;

/// The Python exception of the C++ exception being handled (call inside a
/// catch block), taken out of the error indicator.
object take_current_exception();

/// Raise the exception instance `exc` unchanged.
[[noreturn]] void reraise(object exc);

/// Raise `late`, which happened while handling `earlier`, with `earlier` as
/// its context, as Python does for an error raised in an `except` or
/// `finally` block.
[[noreturn]] void reraise_during(object late, object earlier);

}  // namespace vk
