#include "common/errors.hpp"

#include <cstdarg>
#include <utility>
#include <exception>
#include <new>
#include <stdexcept>

namespace vk {

const char *const ARG_TYPE_FORMAT =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

void raise_arg_type(const char *arg, const char *expected, handle got) {
    PyErr_Format(PyExc_TypeError, ARG_TYPE_FORMAT, arg, expected, tp_name_of(got));
    raise_pending();
}

void raise_format(PyObject *exc, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    PyErr_FormatV(exc, format, ap);
    va_end(ap);
    raise_pending();
}

void require_exact_dict(handle value, const char *arg) {
    if (!PyDict_CheckExact(value.ptr())) raise_arg_type(arg, "dict", value);
}

void require_exact_list(handle value, const char *arg) {
    if (!PyList_CheckExact(value.ptr())) raise_arg_type(arg, "list", value);
}

void require_exact_set(handle value, const char *arg) {
    if (!PyAnySet_CheckExact(value.ptr()) || PyFrozenSet_CheckExact(value.ptr()))
        raise_arg_type(arg, "set", value);
}

void require_exact_str(handle value, const char *arg) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(arg, "str", value);
}

void require_exact_bytes(handle value, const char *arg) {
    if (!PyBytes_CheckExact(value.ptr())) raise_arg_type(arg, "bytes", value);
}

void require_exact_str_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_str(value, arg);
}

void require_exact_list_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_list(value, arg);
}

void require_exact_dict_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_dict(value, arg);
}

void require_exact_set_or_none(handle value, const char *arg) {
    if (!value.is_none()) require_exact_set(value, arg);
}

namespace {

PyObject *python_type_of(nb::exception_type type) {
    switch (type) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
    }
}

}  // namespace

PyObject *restore_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(python_type_of(e.type()), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &) {
        PyErr_NoMemory();
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

object take_current_exception() {
    restore_exception();
    return nb::steal(PyErr_GetRaisedException());
}

void reraise(object exc) {
    PyErr_SetRaisedException(exc.release().ptr());
    raise_pending();
}

void reraise_during(object late, object earlier) {
    PyException_SetContext(late.ptr(), earlier.release().ptr());
    reraise(std::move(late));
}

}  // namespace vk
