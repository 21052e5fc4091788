// Native rendering of the token file (see json_writer.hpp for the contract).
#include "key_registry/json_writer.hpp"

#include "key_registry/registry.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace vk::keys {

namespace {

// Deeper nesting than this is left to the json module, which reports cycles
// ("Circular reference detected") and its own recursion limit.
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

class Writer {
public:
    explicit Writer(std::string &out) : out_(out) {}

    void raw(const char *s, size_t n) { out_.append(s, n); }
    void raw(std::string_view s) { out_.append(s); }

    void newline(int level) {
        out_.push_back('\n');
        out_.append(static_cast<size_t>(level) * 2, ' ');
    }

    bool value(PyObject *v, int level) {
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
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        out_.push_back('"');
        bool ok = true;
        if (PyUnicode_IS_ASCII(s)) {
            ascii(PyUnicode_1BYTE_DATA(s), n);
        } else {
            switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND: ok = encode(PyUnicode_1BYTE_DATA(s), n); break;
            case PyUnicode_2BYTE_KIND: ok = encode(PyUnicode_2BYTE_DATA(s), n); break;
            default: ok = encode(PyUnicode_4BYTE_DATA(s), n); break;
            }
        }
        out_.push_back('"');
        return ok;
    }

private:
    void escape(unsigned c) {
        char e = ESCAPES[c];
        if (e == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            char u[6] = {'\\', 'u', '0', '0', hex[(c >> 4) & 0xF], hex[c & 0xF]};
            raw(u, 6);
        } else {
            char s[2] = {'\\', e};
            raw(s, 2);
        }
    }

    void ascii(const Py_UCS1 *p, Py_ssize_t n) {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (ESCAPES[p[i]] != 0) {
                raw(reinterpret_cast<const char *>(p + start), static_cast<size_t>(i - start));
                escape(p[i]);
                start = i + 1;
            }
        }
        raw(reinterpret_cast<const char *>(p + start), static_cast<size_t>(n - start));
    }

    /// UTF-8 of a non-ASCII string; false for a lone surrogate, which UTF-8
    /// cannot hold (the json path then reports it).
    template <typename Ch>
    bool encode(const Ch *p, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = p[i];
            if (c < 0x80) {
                if (ESCAPES[c] != 0)
                    escape(c);
                else
                    out_.push_back(static_cast<char>(c));
            } else if (c < 0x800) {
                out_.push_back(static_cast<char>(0xC0 | (c >> 6)));
                out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                return false;
            } else if (c < 0x10000) {
                out_.push_back(static_cast<char>(0xE0 | (c >> 12)));
                out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else {
                out_.push_back(static_cast<char>(0xF0 | (c >> 18)));
                out_.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
                out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            }
        }
        return true;
    }

    bool integer(PyObject *v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, x);
            raw(buf, static_cast<size_t>(r.ptr - buf));
            return true;
        }
        // Big ints go through int's own repr, digit limit included.
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
        raw(p, static_cast<size_t>(len));
        return true;
    }

    bool real(double d) {
        if (std::isnan(d)) {
            raw("NaN");
        } else if (std::isinf(d)) {
            raw(d > 0 ? std::string_view("Infinity") : std::string_view("-Infinity"));
        } else {
            // float's repr: shortest round-trip digits, ".0" added to integral values.
            char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (s == nullptr) {
                PyErr_Clear();
                return false;
            }
            raw(std::string_view(s));
            PyMem_Free(s);
        }
        return true;
    }

    bool list(PyObject *v, int level) {
        if (level >= MAX_DEPTH) return false;
        if (PyList_GET_SIZE(v) == 0) {
            raw("[]");
            return true;
        }
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i > 0) out_.push_back(',');
            newline(level + 1);
            object item = nb::borrow(PyList_GET_ITEM(v, i));
            if (!value(item.ptr(), level + 1)) return false;
        }
        newline(level);
        out_.push_back(']');
        return true;
    }

    bool dict(PyObject *v, int level) {
        if (level >= MAX_DEPTH) return false;
        if (PyDict_GET_SIZE(v) == 0) {
            raw("{}");
            return true;
        }
        out_.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *item = nullptr;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &item)) {
            if (!PyUnicode_CheckExact(k)) return false;
            object key = nb::borrow(k), val = nb::borrow(item);
            if (!first) out_.push_back(',');
            first = false;
            newline(level + 1);
            if (!string(key.ptr())) return false;
            raw(": ");
            if (!value(val.ptr(), level + 1)) return false;
        }
        newline(level);
        out_.push_back('}');
        return true;
    }

    std::string &out_;
};

/// The request window as `asdict` copies it: a list of numbers cannot make
/// the copy fail, anything else is left to the json path.
bool plain_window(PyObject *window) {
    if (!PyList_CheckExact(window)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(window); ++i) {
        PyTypeObject *t = Py_TYPE(PyList_GET_ITEM(window, i));
        if (t != &PyFloat_Type && t != &PyLong_Type) return false;
    }
    return true;
}

}  // namespace

bool write_token_file_json(handle tokens, handle token_type, std::string &out) {
    if (!PyDict_CheckExact(tokens.ptr())) return false;
    if (PyDict_GET_SIZE(tokens.ptr()) == 0) {
        out.append("{}");
        return true;
    }
    // The ten members of `to_dict`, in field order, and their rendered names.
    const handle fields[] = {names.token_id,    names.name,       names.hashed_key, names.created_at,
                             names.expires_at,  names.last_used,  names.permissions, names.rate_limit,
                             names.is_active,   names.metadata};
    static constexpr std::string_view member[] = {
        "\"token_id\": ",   "\"name\": ",      "\"hashed_key\": ",  "\"created_at\": ",
        "\"expires_at\": ", "\"last_used\": ", "\"permissions\": ", "\"rate_limit\": ",
        "\"is_active\": ",  "\"metadata\": "};

    Writer w(out);
    out.push_back('{');
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    bool first = true;
    while (PyDict_Next(tokens.ptr(), &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || Py_TYPE(v) != reinterpret_cast<PyTypeObject *>(token_type.ptr()))
            return false;
        object key = nb::borrow(k), token = nb::borrow(v);
        PyObject *window = PyObject_GetAttr(token.ptr(), names._request_timestamps.ptr());
        if (window == nullptr) {
            PyErr_Clear();
            return false;
        }
        object win = nb::steal(window);
        if (!plain_window(win.ptr())) return false;
        out.append(first ? "\n  " : ",\n  ");
        first = false;
        if (!w.string(key.ptr())) return false;
        out.append(": {");
        for (size_t i = 0; i < std::size(fields); ++i) {
            out.append(i == 0 ? "\n    " : ",\n    ");
            out.append(member[i]);
            PyObject *fv = PyObject_GetAttr(token.ptr(), fields[i].ptr());
            if (fv == nullptr) {
                PyErr_Clear();
                return false;
            }
            object field_value = nb::steal(fv);
            if (!w.value(field_value.ptr(), 2)) return false;
        }
        out.append("\n  }");
    }
    out.append("\n}");
    return true;
}

}  // namespace vk::keys
