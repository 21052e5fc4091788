// Rounding to 4 decimal places exactly as Python's `round(x, 4)` does it.
#pragma once

#include "common/py.hpp"

namespace vk::mesh {

/// The double nearest to the exact binary value of `x` rounded to a multiple
/// of 0.0001, halfway cases to even; non-finite values unchanged. Equal to
/// `round(x, 4)` for every double, which `x * 1e4` rounded and divided back is
/// not.
double round4(double x);

/// `round(value, 4)` as an object: floats through `round4`, an int unchanged
/// (as int.__round__ returns it), anything else through the built-in `round`.
object round4_object(handle value);

}  // namespace vk::mesh
