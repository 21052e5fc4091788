// Keyword parsing for functions and methods called through vectorcall.
//
// One description per function (its name, whether it is a method, and its
// parameters in order with the text of their defaults), declared once: the
// parser reads it on every call and `method_def` derives the text signature
// of the docstring from it, so the two cannot disagree. One parser, so that
// every module reports argument count and keyword errors with the same messages:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() needs keyword-only argument %U"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
// For methods the positional counts include the object itself, as in
// "__init__() takes exactly 2 positional arguments (3 given)".
#pragma once

#include "common/py.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

namespace vk {

enum class Kind : unsigned char {
    positional,    ///< positional or keyword
    keyword_only,  ///< keyword only (after `*`)
};

struct Param {
    const char *name;
    Kind kind = Kind::positional;
    bool required = true;
    const char *default_text = nullptr;  ///< the default as the text signature shows it
};

inline constexpr Param req(const char *name) { return {name, Kind::positional, true}; }
/// An optional parameter; `default_text` is its default written as Python
/// source ("None", "20", "'vsk_memories'"). The body applies the default.
inline constexpr Param opt(const char *name, const char *default_text = "None") {
    return {name, Kind::positional, false, default_text};
}
inline constexpr Param kw_req(const char *name) { return {name, Kind::keyword_only, true}; }
inline constexpr Param kw_opt(const char *name, const char *default_text = "None") {
    return {name, Kind::keyword_only, false, default_text};
}

inline constexpr std::size_t MAX_PARAMS = 12;

/// The parameter list of one function. Positional parameters come first.
struct Signature {
    const char *func_name;
    bool is_method;
    std::size_t count;
    std::array<Param, MAX_PARAMS> params;
    std::size_t n_positional;  // positional-or-keyword parameters
    std::size_t n_required_positional;
    mutable std::array<PyObject *, MAX_PARAMS> names{};  // interned lazily
    mutable PyObject *name_object = nullptr;              // `func_name`, interned lazily

    constexpr Signature(const char *name, bool method, std::initializer_list<Param> ps)
        : func_name(name), is_method(method), count(ps.size()), params{},
          n_positional(0), n_required_positional(0) {
        std::size_t i = 0;
        for (const Param &p : ps) {
            params[i++] = p;
            if (p.kind == Kind::positional) {
                ++n_positional;
                if (p.required) ++n_required_positional;
            }
        }
    }

    /// The function's name as an interned str (the attribute it is bound to).
    handle name() const;
};

/// The text signature of `sig` and the line that ends it, as CPython reads it
/// from the head of a docstring: "name($self, /, a, *, b=None)\n--\n\n" for a
/// method ("$cls" when `receiver` says so), "name(a, b=1)\n--\n\n" otherwise.
std::string text_signature(const Signature &sig, const char *receiver = "$self");

/// Parsed arguments: a borrowed reference per parameter, empty when the
/// caller did not pass it (the function applies its default).
class Args {
public:
    handle operator[](std::size_t i) const { return handle(values_[i]); }
    bool given(std::size_t i) const { return values_[i] != nullptr; }
    /// The argument, or `fallback` when it was not passed.
    handle get(std::size_t i, handle fallback) const {
        return values_[i] != nullptr ? handle(values_[i]) : fallback;
    }
    /// The argument, or None when it was not passed.
    handle or_none(std::size_t i) const {
        return values_[i] != nullptr ? handle(values_[i]) : handle(Py_None);
    }

private:
    friend Args parse_args(const Signature &, PyObject *const *, Py_ssize_t, PyObject *);
    std::array<PyObject *, MAX_PARAMS> values_{};
};

/// Match vectorcall arguments (`args[0..nargs)`, keywords named in `kwnames`
/// with their values after the positional ones) against `sig`.
Args parse_args(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace vk
