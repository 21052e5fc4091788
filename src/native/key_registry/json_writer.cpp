// Native rendering of the token file (see json_writer.hpp for the contract).
#include "key_registry/json_writer.hpp"

#include "common/errors.hpp"
#include "key_registry/registry.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string>

namespace vk::keys {

namespace {

// Deeper nesting than this is left to the json module, which reports cycles
// and its own recursion limit.
constexpr int MAX_DEPTH = 100;

// For each ASCII character: 0 when written as itself, otherwise the letter
// of its escape ('u' for the \u00XX form). Only control characters, '"' and
// '\\' are escaped; non-ASCII text is written as itself.
constexpr std::array<char, 128> make_escapes() {
    std::array<char, 128> e{};
    for (int c = 0; c < 0x20; ++c) e[static_cast<size_t>(c)] = 'u';
    e['\b'] = 'b';
    e['\t'] = 't';
    e['\n'] = 'n';
    e['\f'] = 'f';
    e['\r'] = 'r';
    e['"'] = '"';
    e['\\'] = '\\';
    return e;
}
constexpr std::array<char, 128> ESCAPES = make_escapes();

// The longest output of one character: an escape such as \u001f.
constexpr size_t MAX_CHAR_BYTES = 6;
// Characters of a string rendered per piece.
constexpr size_t CHUNK = 16384;

/// Store the escape of ASCII character `c` at `p`; returns the new end.
inline char *put_escape(char *p, unsigned c) {
    char e = ESCAPES[c];
    *p++ = '\\';
    if (e != 'u') {
        *p++ = e;
        return p;
    }
    static constexpr char hex[] = "0123456789abcdef";
    *p++ = 'u';
    *p++ = '0';
    *p++ = '0';
    *p++ = hex[(c >> 4) & 0xF];
    *p++ = hex[c & 0xF];
    return p;
}

class Writer {
public:
    Writer(ByteBuffer &out, Trail *seen) : out_(out), seen_(seen) {}

    /// False once the text depends on more than the objects seen.
    bool reusable() const { return reusable_; }

    /// Treat meeting `container` as meeting a container being written.
    void refuse(handle container) { refused_ = container.ptr(); }
    /// Whether the last failure was meeting the refused container.
    bool cycle() const { return cycle_; }

    void raw(std::string_view s) { out_.append(s); }

    void newline(int level) {
        size_t n = 1 + static_cast<size_t>(level) * 2;
        char *p = out_.room(n);
        *p = '\n';
        std::memset(p + 1, ' ', n - 1);
        out_.commit(p + n);
    }

    bool value(PyObject *v, int level) {
        if (seen_ != nullptr) {
            PyTypeObject *t = Py_TYPE(v);
            Py_ssize_t size = t == &PyList_Type ? PyList_GET_SIZE(v) : t == &PyDict_Type ? PyDict_GET_SIZE(v) : -1;
            seen_->record(v, size);
        }
        if (v == Py_None) {
            raw("null");
            return true;
        }
        if (v == Py_True) {
            raw("true");
            return true;
        }
        if (v == Py_False) {
            raw("false");
            return true;
        }
        PyTypeObject *t = Py_TYPE(v);
        if (t == &PyUnicode_Type) return string(v);
        if (t == &PyLong_Type) return integer(v);
        if (t == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(v));
        if (t == &PyList_Type) return list(v, level);
        if (t == &PyDict_Type) return dict(v, level);
        return false;
    }

    bool string(PyObject *s) {
        size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        bool is_ascii = PyUnicode_IS_ASCII(s);
        int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        out_.push('"');
        // In pieces, so that room for the worst case stays small.
        for (size_t start = 0; start < n; start += CHUNK) {
            size_t len = n - start < CHUNK ? n - start : CHUNK;
            char *p = out_.room(len * MAX_CHAR_BYTES);
            if (is_ascii) {
                p = ascii(p, static_cast<const Py_UCS1 *>(data) + start, len);
            } else if (kind == PyUnicode_1BYTE_KIND) {
                p = encode(p, static_cast<const Py_UCS1 *>(data) + start, len);
            } else if (kind == PyUnicode_2BYTE_KIND) {
                p = encode(p, static_cast<const Py_UCS2 *>(data) + start, len);
            } else {
                p = encode(p, static_cast<const Py_UCS4 *>(data) + start, len);
            }
            if (p == nullptr) return false;
            out_.commit(p);
        }
        out_.push('"');
        return true;
    }

private:
    static char *ascii(char *p, const Py_UCS1 *s, size_t n) {
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            if (ESCAPES[s[i]] != 0) {
                std::memcpy(p, s + start, i - start);
                p = put_escape(p + (i - start), s[i]);
                start = i + 1;
            }
        }
        std::memcpy(p, s + start, n - start);
        return p + (n - start);
    }

    /// UTF-8 of a non-ASCII string; null for a lone surrogate, which UTF-8
    /// cannot hold (the json path then reports it).
    template <typename Ch>
    static char *encode(char *p, const Ch *s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            Py_UCS4 c = s[i];
            if (c < 0x80) {
                if (ESCAPES[c] != 0)
                    p = put_escape(p, c);
                else
                    *p++ = static_cast<char>(c);
            } else if (c < 0x800) {
                *p++ = static_cast<char>(0xC0 | (c >> 6));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                return nullptr;
            } else if (c < 0x10000) {
                *p++ = static_cast<char>(0xE0 | (c >> 12));
                *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                *p++ = static_cast<char>(0xF0 | (c >> 18));
                *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return p;
    }

    bool integer(PyObject *v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            char *p = out_.room(24);
            out_.commit(std::to_chars(p, p + 24, x).ptr);
            return true;
        }
        // Big ints go through int's own repr, digit limit included; that
        // limit can change, so the text is not one to reuse.
        reusable_ = false;
        PyObject *s = PyObject_Str(v);
        if (s == nullptr) {
            PyErr_Clear();
            return false;
        }
        object text = nb::steal(s);
        Py_ssize_t len = 0;
        const char *p = PyUnicode_AsUTF8AndSize(s, &len);
        if (p == nullptr) {
            PyErr_Clear();
            return false;
        }
        out_.append(p, static_cast<size_t>(len));
        return true;
    }

    bool real(double d) {
        if (std::isnan(d)) {
            raw("NaN");
        } else if (std::isinf(d)) {
            raw(d > 0 ? std::string_view("Infinity") : std::string_view("-Infinity"));
        } else {
            return float_repr(d);
        }
        return true;
    }

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    /// float's repr: the shortest digits that read back as `d`, laid out as
    /// Python does (exponent form below 1e-4 and from 1e16 on, at least two
    /// exponent digits, ".0" on integral values).
    bool float_repr(double d) {
        char buf[40];
        auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
        if (r.ec != std::errc()) return python_float_repr(d);
        std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
        size_t e = sci.find('e');
        std::string_view mantissa = sci.substr(0, e);
        int exponent = 0;
        std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
        bool negative = mantissa.front() == '-';
        if (negative) mantissa.remove_prefix(1);
        char digits[32];
        size_t n = 0;
        for (char c : mantissa)
            if (c != '.') digits[n++] = c;
        int point = exponent + 1;  // digits before the decimal point
        // Fixed notation is at most 16 digits, 4 leading zeros, "0." and a sign.
        char *p = out_.room(48);
        if (negative) *p++ = '-';
        if (point <= -4 || point > 16) {
            *p++ = digits[0];
            if (n > 1) {
                *p++ = '.';
                std::memcpy(p, digits + 1, n - 1);
                p += n - 1;
            }
            *p++ = 'e';
            int x = point - 1;
            *p++ = x < 0 ? '-' : '+';
            if (x < 0) x = -x;
            if (x < 10) *p++ = '0';
            p = std::to_chars(p, p + 8, x).ptr;
        } else if (point <= 0) {
            *p++ = '0';
            *p++ = '.';
            std::memset(p, '0', static_cast<size_t>(-point));
            p += -point;
            std::memcpy(p, digits, n);
            p += n;
        } else if (static_cast<size_t>(point) >= n) {
            std::memcpy(p, digits, n);
            p += n;
            std::memset(p, '0', static_cast<size_t>(point) - n);
            p += static_cast<size_t>(point) - n;
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, static_cast<size_t>(point));
            p += point;
            *p++ = '.';
            std::memcpy(p, digits + point, n - static_cast<size_t>(point));
            p += n - static_cast<size_t>(point);
        }
        out_.commit(p);
        return true;
    }
#else
    bool float_repr(double d) { return python_float_repr(d); }
#endif

    bool python_float_repr(double d) {
        char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (s == nullptr) {
            PyErr_Clear();
            return false;
        }
        raw(std::string_view(s));
        PyMem_Free(s);
        return true;
    }

    bool list(PyObject *v, int level) {
        if (level >= MAX_DEPTH || (cycle_ = v == refused_)) return false;
        if (PyList_GET_SIZE(v) == 0) {
            raw("[]");
            return true;
        }
        out_.push('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i > 0) out_.push(',');
            newline(level + 1);
            object item = nb::borrow(PyList_GET_ITEM(v, i));
            if (!value(item.ptr(), level + 1)) return false;
        }
        newline(level);
        out_.push(']');
        return true;
    }

    bool dict(PyObject *v, int level) {
        if (level >= MAX_DEPTH || (cycle_ = v == refused_)) return false;
        if (PyDict_GET_SIZE(v) == 0) {
            raw("{}");
            return true;
        }
        out_.push('{');
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *item = nullptr;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &item)) {
            if (!PyUnicode_CheckExact(k)) return false;
            object key = nb::borrow(k), val = nb::borrow(item);
            if (seen_ != nullptr) seen_->record(key.ptr(), -1);
            if (!first) out_.push(',');
            first = false;
            newline(level + 1);
            if (!string(key.ptr())) return false;
            raw(": ");
            if (!value(val.ptr(), level + 1)) return false;
        }
        newline(level);
        out_.push('}');
        return true;
    }

    ByteBuffer &out_;
    Trail *seen_;
    bool reusable_ = true;
    PyObject *refused_ = nullptr;
    bool cycle_ = false;
};

/// Walks `value` as `Writer::value` would and compares each object with the
/// next one the trail recorded when it was written.
class Replay {
public:
    explicit Replay(const std::vector<uintptr_t> &marks) : marks_(marks) {}

    bool done() const { return pos_ == marks_.size(); }

    bool same(PyObject *v) {
        if (pos_ >= marks_.size()) return false;
        uintptr_t mark = marks_[pos_++];
        // The object is held, so the same address is the same object: an
        // immutable one renders the same, a container is checked inside.
        if ((mark & ~uintptr_t{1}) != reinterpret_cast<uintptr_t>(v)) return false;
        if ((mark & 1) == 0) return true;
        if (pos_ >= marks_.size()) return false;
        auto size = static_cast<Py_ssize_t>(marks_[pos_++]);
        if (PyList_CheckExact(v)) {
            if (PyList_GET_SIZE(v) != size) return false;
            for (Py_ssize_t i = 0; i < size; ++i)
                if (!same(PyList_GET_ITEM(v, i))) return false;
            return true;
        }
        if (PyDict_GET_SIZE(v) != size) return false;
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *item = nullptr;
        while (PyDict_Next(v, &pos, &k, &item)) {
            if (pos_ >= marks_.size() || marks_[pos_++] != reinterpret_cast<uintptr_t>(k)) return false;
            if (!same(item)) return false;
        }
        return true;
    }

private:
    const std::vector<uintptr_t> &marks_;
    size_t pos_ = 0;
};

handle field_name(size_t i) { return token_field_name(i); }

bool same_text(PyObject *a, handle b) { return a == b.ptr() || PyUnicode_Compare(a, b.ptr()) == 0; }

/// The first `count` fields of a token whose instance dict `d` is not laid
/// out as the constructor lays it out. Every key is compared as text, so no
/// Python code runs; a key that is not exactly a str gives up.
bool read_fields_by_name(PyTypeObject *type, PyObject *d, TokenFields &fields, size_t count) {
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        // An instance attribute named to_dict would be called instead of
        // the class's: only the json path honours that.
        if (count == TokenFields::COUNT && same_text(k, names.to_dict)) return false;
        for (size_t i = 0; i < count; ++i) {
            if (fields.value[i].is_valid() || !same_text(k, field_name(i))) continue;
            fields.value[i] = handle(v);
            break;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (!fields.value[i].is_valid())
            fields.value[i] = class_attr(handle(reinterpret_cast<PyObject *>(type)), field_name(i));
        if (!fields.value[i].is_valid()) return false;  // the json path raises the AttributeError
    }
    return true;
}

}  // namespace

bool plain_window(handle window) {
    PyObject *w = window.ptr();
    if (!PyList_CheckExact(w)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(w); ++i) {
        PyTypeObject *t = Py_TYPE(PyList_GET_ITEM(w, i));
        if (t != &PyFloat_Type && t != &PyLong_Type) return false;
    }
    return true;
}

bool plain_fields(handle token_type) {
    // A class default is read as it is; anything with a __get__ or __set__
    // would run code or take the field over.
    for (size_t i = 0; i < TokenFields::COUNT; ++i)
        if (!plain_attribute(token_type, field_name(i))) return false;
    return true;
}

bool read_fields(handle token, bool plain, TokenFields &fields, size_t count) {
    if (!plain) return false;
    object dict = steal_or_raise(PyObject_GenericGetDict(token.ptr(), nullptr));
    PyObject *d = dict.ptr();
    // Tokens made by the generated constructor hold exactly their fields, in
    // order, under the interned names: read them in one pass.
    if (count < TokenFields::COUNT || PyDict_GET_SIZE(d) == TokenFields::COUNT) {
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        size_t i = 0;
        while (i < count && PyDict_Next(d, &pos, &k, &v) && k == field_name(i).ptr()) fields.value[i++] = handle(v);
        if (i == count) return true;
    }
    for (handle &f : fields.value) f = handle();
    return read_fields_by_name(Py_TYPE(token.ptr()), d, fields, count);
}

namespace {

std::array<std::string, TokenFields::WINDOW> label_texts() {
    std::array<std::string, TokenFields::WINDOW> out;
    for (size_t i = 0; i < out.size(); ++i) out[i] = std::string("\"") + TOKEN_FIELDS[i].name + "\": ";
    return out;
}

const std::array<std::string, TokenFields::WINDOW> LABEL_TEXTS = label_texts();

std::array<std::string_view, TokenFields::WINDOW> label_views() {
    std::array<std::string_view, TokenFields::WINDOW> out;
    for (size_t i = 0; i < out.size(); ++i) out[i] = LABEL_TEXTS[i];
    return out;
}

}  // namespace

const std::array<std::string_view, TokenFields::WINDOW> FIELD_LABELS = label_views();

bool write_field(handle value, ByteBuffer &out) {
    Writer w(out, nullptr);
    return w.value(value.ptr(), 2);
}

bool write_member(handle key, const TokenFields &fields, ByteBuffer &out, Trail *seen,
                  bool &reusable) {
    Writer w(out, seen);
    out.append(",\n  ");
    if (!w.string(key.ptr())) return false;
    out.append(": {");
    for (size_t i = 0; i < std::size(FIELD_LABELS); ++i) {
        out.append(i == 0 ? std::string_view("\n    ") : std::string_view(",\n    "));
        out.append(FIELD_LABELS[i]);
        if (!w.value(fields.value[i].ptr(), 2)) return false;
    }
    out.append("\n  }");
    reusable = w.reusable();
    return true;
}

bool same_objects(const TokenFields &fields, const Trail &seen) {
    Replay replay(seen.marks);
    for (size_t i = 0; i < TokenFields::WINDOW; ++i)
        if (!replay.same(fields.value[i].ptr())) return false;
    return replay.done();
}

thread_local ByteBuffer ScratchBuffer::kept_;
thread_local bool ScratchBuffer::busy_ = false;

bool is_unstorable_error(const nb::python_error &e) {
    return e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_RecursionError);
}

object cannot_be_stored(handle what, handle error) {
    PyObject *kind = PyErr_GivenExceptionMatches(error.ptr(), PyExc_RecursionError) ? PyExc_RecursionError
                     : PyErr_GivenExceptionMatches(error.ptr(), PyExc_TypeError)    ? PyExc_TypeError
                                                                                    : PyExc_ValueError;
    object message = steal_or_raise(PyUnicode_FromFormat("%U cannot be stored: %S", what.ptr(), error.ptr()));
    return call(handle(kind), message);
}

void require_storable(handle value, const char *arg, handle merged_into) {
    if (native_writer_allowed()) {
        ScratchBuffer scratch;
        Writer w(scratch.get(), nullptr);
        if (merged_into.is_valid()) w.refuse(merged_into);
        // At the depth the token's fields are written at, so that the writer
        // gives up on the same values.
        if (w.value(value.ptr(), 2)) return;
        if (w.cycle())
            raise_format(PyExc_ValueError, "Argument '%s' cannot be stored: Circular reference detected", arg);
    }
    try {
        call_kw(get_attr(global(names.json), names.dumps), {value},
                {{names.indent, object(make_int(2))}, {names.ensure_ascii, handle(Py_False)}});
    } catch (nb::python_error &e) {
        if (!is_unstorable_error(e)) throw;
        object what = steal_or_raise(PyUnicode_FromFormat("Argument '%s'", arg));
        reraise(cannot_be_stored(what, e.value()));
    }
}

}  // namespace vk::keys
