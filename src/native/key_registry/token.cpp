// Token: expiry, permissions, the sliding request window, and the dict form.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "key_registry/registry.hpp"

namespace vk::keys {

namespace {

/// `now - t < WINDOW_SECONDS`, with Python's arithmetic for numbers that are not floats.
bool is_recent(handle now_value, handle t) {
    if (PyFloat_CheckExact(now_value.ptr()) && PyFloat_CheckExact(t.ptr()))
        return PyFloat_AS_DOUBLE(now_value.ptr()) - PyFloat_AS_DOUBLE(t.ptr()) < WINDOW_SECONDS;
    object age = steal_or_raise(PyNumber_Subtract(now_value.ptr(), t.ptr()));
    return check(PyObject_RichCompareBool(age.ptr(), names.window_seconds.ptr(), Py_LT)) != 0;
}

object monotonic() { return call_method(global(names.time), names.monotonic); }

/// After a failure in a step of our own that Python's version does not
/// take: forget an ordinary error, but let an interrupt or a failed
/// allocation through.
void forget_unless_fatal() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) raise_pending();
    PyErr_Clear();
}

/// `rate_limit <= 0`; `fallback` when the token has no limit or it cannot be compared.
bool unlimited_or(handle token, bool fallback) {
    object l = get_optional_attr(token, names.rate_limit);
    if (!l.is_valid()) return fallback;
    int r = PyObject_RichCompareBool(l.ptr(), names.zero.ptr(), Py_LE);
    if (r < 0) {
        forget_unless_fatal();
        return fallback;
    }
    return r != 0;
}

}  // namespace

bool is_expired_impl(handle token) {
    object expires = get_attr(token, names.expires_at);
    if (expires.is_none()) return false;
    object dt = get_attr(global(names.datetime), names.datetime);
    object parsed = call_method(dt, names.fromisoformat, expires);
    object current = call_method(dt, names.now);
    // At the exact instant of expiry the token is still valid.
    return check(PyObject_RichCompareBool(current.ptr(), parsed.ptr(), Py_GT)) != 0;
}

bool is_rate_limited_impl(handle token) {
    object limit = get_attr(token, names.rate_limit);
    if (check(PyObject_RichCompareBool(limit.ptr(), names.zero.ptr(), Py_LE))) return false;
    object current = monotonic();
    object window = get_attr(token, names._request_timestamps);
    object kept = steal_or_raise(PyList_New(0));
    for_each(window, [&](handle t) {
        if (is_recent(current, t)) check(PyList_Append(kept.ptr(), t.ptr()));
    });
    set_attr(token, names._request_timestamps, kept);
    object count = steal_or_raise(PyLong_FromSsize_t(PyList_GET_SIZE(kept.ptr())));
    return check(PyObject_RichCompareBool(count.ptr(), limit.ptr(), Py_GE)) != 0;
}

void record_request_impl(handle token) {
    object current = monotonic();
    object window = get_attr(token, names._request_timestamps);
    if (!PyList_CheckExact(window.ptr())) {
        call_method(window, names.append, current);
        return;
    }
    check(PyList_Append(window.ptr(), current.ptr()));
    // Without a limit nothing else prunes the window. Entries a minute old
    // can never count again (the clock only moves forward), so dropping them
    // changes no answer of is_rate_limited, even if a limit is set later.
    // They are dropped once they make up half the list, which keeps the
    // window within twice the requests of the last minute at O(1) amortised.
    if (!unlimited_or(token, false)) return;
    Py_ssize_t n = PyList_GET_SIZE(window.ptr());
    Py_ssize_t stale = 0;
    while (stale < n) {
        object t = nb::borrow(PyList_GET_ITEM(window.ptr(), stale));
        PyTypeObject *tt = Py_TYPE(t.ptr());
        if (tt != &PyFloat_Type && tt != &PyLong_Type) return;  // not ours to judge
        if (is_recent(current, t)) break;
        ++stale;
        if (n != PyList_GET_SIZE(window.ptr())) return;
    }
    if (stale > 0 && 2 * stale >= n) check(PyList_SetSlice(window.ptr(), 0, stale, nullptr));
}

object Token_is_expired(handle self, const Args &) {
    return nb::bool_(is_expired_impl(self));
}

constinit Method def::is_expired{
    {"is_expired", true, {}}, Token_is_expired,
    "Whether the local time now is later than `expires_at` (never when it is None)."};

object Token_has_permission(handle self, const Args &a) {
    require_exact_str(a[0], "permission");
    object permissions = get_attr(self, names.permissions);
    if (check(PySequence_Contains(permissions.ptr(), a[0].ptr()))) return nb::bool_(true);
    // "admin" grants every permission.
    static handle admin = interned("admin");
    return nb::bool_(check(PySequence_Contains(permissions.ptr(), admin.ptr())) != 0);
}

constinit Method def::has_permission{
    {"has_permission", true, {req("permission")}}, Token_has_permission,
    "Whether `permission` is listed, or \"admin\" is."};

object Token_is_rate_limited(handle self, const Args &) {
    return nb::bool_(is_rate_limited_impl(self));
}

constinit Method def::is_rate_limited{
    {"is_rate_limited", true, {}}, Token_is_rate_limited,
    "Whether `rate_limit` successes were recorded in the last 60 seconds; drops older ones."};

object Token_record_request(handle self, const Args &) {
    record_request_impl(self);
    return nb::none();
}

constinit Method def::record_request{
    {"record_request", true, {}}, Token_record_request,
    "Record one successful request at the current monotonic time."};

object Token_to_dict(handle self, const Args &) {
    object data = call(global(names.asdict), self);
    // The request window is per process and never stored.
    call_method(data, names.pop, names._request_timestamps, handle(Py_None));
    return data;
}

constinit Method def::to_dict{
    {"to_dict", true, {}}, Token_to_dict,
    "The stored form: a new dict of the ten persistent fields (no request window)."};

object Token_from_dict(handle cls, const Args &a) {
    require_exact_dict(a[0], "data");
    // A snapshot of the items: comparing keys may run Python code.
    object items = steal_or_raise(PyDict_Items(a[0].ptr()));
    object kwargs = steal_or_raise(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        handle key(PyTuple_GET_ITEM(pair, 0)), value(PyTuple_GET_ITEM(pair, 1));
        if (check(PyObject_RichCompareBool(key.ptr(), names._request_timestamps.ptr(), Py_NE)))
            check(PyDict_SetItem(kwargs.ptr(), key.ptr(), value.ptr()));
    }
    object empty = steal_or_raise(PyTuple_New(0));
    return steal_or_raise(PyObject_Call(cls.ptr(), empty.ptr(), kwargs.ptr()));
}

constinit Method def::from_dict{
    {"from_dict", true, {req("data")}}, Token_from_dict,
    "A token of this class from its stored form; \"_request_timestamps\" is ignored.", METH_CLASS};

}  // namespace vk::keys
