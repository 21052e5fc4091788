// Number conversions for parameters declared as int or float.
#pragma once

#include "common/py.hpp"

#include <cstdint>

namespace vk {

/// Integer parameter rule: an exact `int` is returned unchanged; any other
/// value with an integer or float conversion (a bool, a float, an object with
/// `__int__`, `__index__` or `__float__`) is converted with truncation toward
/// zero; a value that is not numeric at all raises the argument-type error
/// naming `arg` and "int". Errors raised by the conversion itself (NaN,
/// infinity, a raising `__int__`) propagate unchanged.
object to_int_arg(handle value, const char *arg);

/// Float parameter rule: any value with a float conversion (`__float__` or
/// `__index__`); otherwise the conversion's own TypeError propagates.
double to_double(handle value);

/// `to_double` as a new Python float object.
object to_float_object(handle value);

/// A Python int clamped into [lo, hi]; used where an int only selects a count
/// or a slice bound, so that huge values behave like "everything".
Py_ssize_t clamp_to_ssize(handle int_object, Py_ssize_t lo, Py_ssize_t hi);

}  // namespace vk
