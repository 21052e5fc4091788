// KeyRegistry operations: issuing, checking, revoking, deleting, listing,
// updating tokens and replacing their keys.
#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "key_registry/json_writer.hpp"
#include "key_registry/registry.hpp"

#include <cstdint>
#include <cstring>

namespace vk::keys {

namespace {

object hash_key_impl(handle api_key) {
    object raw = steal_or_raise(PyUnicode_AsUTF8String(api_key.ptr()));
    object digest = call_method(global(names.hashlib), names.sha256, raw);
    return call_method(digest, names.hexdigest);
}

/// Key hashes are compared without an early exit, so the time taken does
/// not tell how much of a presented key's hash matched.
bool same_hash(handle stored, handle hashed) {
    PyObject *a = stored.ptr(), *b = hashed.ptr();
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b))
            return false;
        size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a);
        const auto *pa = static_cast<const unsigned char *>(PyUnicode_DATA(a));
        const auto *pb = static_cast<const unsigned char *>(PyUnicode_DATA(b));
        uint64_t diff = 0;
        size_t i = 0;
        for (; i + sizeof diff <= n; i += sizeof diff) {
            uint64_t x, y;
            std::memcpy(&x, pa + i, sizeof x);
            std::memcpy(&y, pb + i, sizeof y);
            diff |= x ^ y;
        }
        for (; i < n; ++i) diff |= static_cast<uint64_t>(pa[i] ^ pb[i]);
        return diff == 0;
    }
    return truthy(steal_or_raise(PyObject_RichCompare(a, b, Py_EQ)));
}

/// A str holding a lone surrogate, which has no UTF-8 form.
bool has_surrogates(handle s) {
    PyObject *o = s.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(o);
    int kind = PyUnicode_KIND(o);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void *data = PyUnicode_DATA(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

object concat(handle a, handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()))
        return steal_or_raise(PyUnicode_Concat(a.ptr(), b.ptr()));
    return steal_or_raise(PyNumber_Add(a.ptr(), b.ptr()));
}

/// The first of `tokens` whose hash is `hashed` (null when none is), found
/// without running Python code: false when that cannot be promised, because
/// a token met on the way is not a plain Token with a str hash.
bool find_plain(handle tokens, handle hashed, object &found) {
    if (!PyDict_CheckExact(tokens.ptr()) || !PyUnicode_CheckExact(hashed.ptr()) || !plain_fields(state.token_type))
        return false;
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(tokens.ptr(), &pos, &k, &v)) {
        TokenFields fields;
        if (Py_TYPE(v) != reinterpret_cast<PyTypeObject *>(state.token_type.ptr()) ||
            !read_fields(handle(v), true, fields, TokenFields::HASHED_KEY + 1))
            return false;
        handle held = fields.value[TokenFields::HASHED_KEY];
        if (!PyUnicode_CheckExact(held.ptr())) return false;
        if (same_hash(held, hashed)) {
            found = nb::borrow(v);
            return true;
        }
    }
    return true;
}

/// The first of `tokens` whose hash is `hashed`, or null; looking at them may
/// run Python code, so the scan goes over a snapshot of the values.
object find_by_hash(handle tokens, handle hashed) {
    object values = PyDict_CheckExact(tokens.ptr())
                        ? steal_or_raise(PyDict_Values(tokens.ptr()))
                        : steal_or_raise(PySequence_List(call_method(tokens, names.values).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.ptr()); ++i) {
        object token = nb::borrow(PyList_GET_ITEM(values.ptr(), i));
        if (same_hash(get_attr(token, names.hashed_key), hashed)) return token;
    }
    return object();
}

object save(handle self) { return call_method(self, names._save_tokens); }

object tokens_of(handle self) { return get_attr(self, names.tokens); }

bool contains(handle container, handle key) { return check(PySequence_Contains(container.ptr(), key.ptr())) != 0; }

object item(handle container, handle key) { return steal_or_raise(PyObject_GetItem(container.ptr(), key.ptr())); }

}  // namespace

object KeyRegistry_hash_key(handle, const Args &a) {
    require_exact_str(a[0], "api_key");
    return hash_key_impl(a[0]);
}

constinit Method def::_hash_key{
    {"_hash_key", true, {req("api_key")}}, KeyRegistry_hash_key,
    "SHA-256 of the key's UTF-8 bytes as 64 lowercase hex digits."};

object KeyRegistry_generate_key(handle self, const Args &) {
    object prefix = get_attr(self, names.TOKEN_PREFIX);
    object body = call_method(global(names.secrets), names.token_urlsafe, object(make_int(32)));
    return concat(prefix, body);
}

constinit Method def::_generate_key{
    {"_generate_key", true, {}}, KeyRegistry_generate_key,
    "A new API key: TOKEN_PREFIX and 43 URL-safe base64 characters."};

object KeyRegistry_generate_token_id(handle, const Args &) {
    object hex = call_method(global(names.secrets), names.token_hex, object(make_int(8)));
    return concat(names.tok_prefix, hex);
}

constinit Method def::_generate_token_id{
    {"_generate_token_id", true, {}}, KeyRegistry_generate_token_id,
    "A new token id: \"tok_\" and 16 lowercase hex digits."};

object KeyRegistry_create_token(handle self, const Args &a) {
    handle name = a[0], permissions = a.or_none(1), expires_arg = a.or_none(2), metadata = a.or_none(4);
    object expires_days = expires_arg.is_none() ? nb::none() : to_int_arg(expires_arg, "expires_days");
    object rate_limit = a.given(3) ? to_int_arg(a[3], "rate_limit") : make_int(0);
    require_exact_str(name, "name");
    require_exact_list_or_none(permissions, "permissions");
    require_exact_dict_or_none(metadata, "metadata");
    // A value the token file cannot hold is refused before a key exists for it.
    if (!permissions.is_none()) require_storable(permissions, "permissions", handle());
    if (!metadata.is_none()) require_storable(metadata, "metadata", handle());

    object api_key = call_method(self, names._generate_key);
    object token_id = call_method(self, names._generate_token_id);
    object expires_at = nb::none();
    if (truthy(expires_days)) {
        object datetime = global(names.datetime);
        object start = call_method(get_attr(datetime, names.datetime), names.now);
        object delta = call_kw(get_attr(datetime, names.timedelta), {}, {{names.days, expires_days}});
        object end = steal_or_raise(PyNumber_Add(start.ptr(), delta.ptr()));
        expires_at = call_method(end, names.isoformat);
    }
    object hashed = call_method(self, names._hash_key, api_key);
    object created_at = now_iso();
    // A non-empty list or dict from the caller is stored itself, not a copy.
    object perms = !permissions.is_none() && PyList_GET_SIZE(permissions.ptr()) > 0
                       ? nb::borrow(permissions)
                       : steal_or_raise(Py_BuildValue("[ss]", "read", "write"));
    object meta = !metadata.is_none() && PyDict_GET_SIZE(metadata.ptr()) > 0 ? nb::borrow(metadata)
                                                                               : steal_or_raise(PyDict_New());
    object token = call_kw(global(names.Token), {}, {
        {names.token_id, token_id},     {names.name, name},
        {names.hashed_key, hashed},     {names.created_at, created_at},
        {names.expires_at, expires_at}, {names.permissions, perms},
        {names.rate_limit, rate_limit}, {names.is_active, handle(Py_True)},
        {names.metadata, meta},
    });
    check(PyObject_SetItem(tokens_of(self).ptr(), token_id.ptr(), token.ptr()));
    save(self);
    return steal_or_raise(PyTuple_Pack(2, api_key.ptr(), token.ptr()));
}

constinit Method def::create_token{
    {"create_token", true, {req("name"), opt("permissions"), opt("expires_days"), opt("rate_limit", "0"), opt("metadata")}}, KeyRegistry_create_token,
    "Issue a key; returns (api_key, token). The key is not stored, only its hash.\n\n"
    "Metadata or permissions the token file cannot hold are refused before anything\n"
    "changes: TypeError or ValueError \"Argument '...' cannot be stored: <json's message>\"."};

namespace {

/// The token issued for `api_key` (the first with its hash), or an empty
/// object for a key no token can have.
object token_of_key(handle self, handle api_key) {
    require_exact_str(api_key, "api_key");
    if (PyUnicode_GET_LENGTH(api_key.ptr()) == 0) return object();
    object prefix = get_attr(self, names.TOKEN_PREFIX);
    bool prefixed = PyUnicode_CheckExact(prefix.ptr())
                        ? check_size(PyUnicode_Tailmatch(api_key.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1)) != 0
                        : truthy(call_method(api_key, names.startswith, prefix));
    if (!prefixed) return object();
    // No issued key holds a lone surrogate, and it could not be hashed: such
    // a key is refused like any other unknown key.
    if (has_surrogates(api_key)) return object();

    object hashed = own_or_call<def::_hash_key>(self, [&] { return hash_key_impl(api_key); }, api_key);
    object tokens = tokens_of(self);
    object token;
    if (!find_plain(tokens, hashed, token)) token = find_by_hash(tokens, hashed);
    return token;
}

}  // namespace

object KeyRegistry_validate_token(handle self, const Args &a) {
    object token = token_of_key(self, a[0]);
    // Active, then unexpired, then not rate-limited; a refusal gives no
    // reason, records nothing and saves nothing.
    if (!token.is_valid() || !truthy(get_attr(token, names.is_active)) ||
        own_or_call<def::is_expired>(token, [&] { return is_expired_impl(token); }) ||
        own_or_call<def::is_rate_limited>(token, [&] { return is_rate_limited_impl(token); }))
        return nb::none();
    // Then the use is recorded and saved; this save only records `last_used`:
    // it is atomic but not flushed.
    own_or_call<def::record_request>(token, [&] { record_request_impl(token); });
    set_attr(token, names.last_used, now_iso());
    own_or_call<def::_save_tokens>(self, [&] { save_tokens(self, false); });
    return token;
}

constinit Method def::validate_token{
    {"validate_token", true, {req("api_key")}}, KeyRegistry_validate_token,
    "The active, unexpired, not rate-limited token of the key, recording the use; else None."};

object KeyRegistry_revoke_token(handle self, const Args &a) {
    require_exact_str(a[0], "token_id");
    object tokens = tokens_of(self);
    if (!contains(tokens, a[0])) return nb::bool_(false);
    set_attr(item(tokens, a[0]), names.is_active, handle(Py_False));
    save(self);
    return nb::bool_(true);
}

constinit Method def::revoke_token{
    {"revoke_token", true, {req("token_id")}}, KeyRegistry_revoke_token,
    "Deactivate the token for good; False when there is no such token."};

object KeyRegistry_delete_token(handle self, const Args &a) {
    require_exact_str(a[0], "token_id");
    object tokens = tokens_of(self);
    if (!contains(tokens, a[0])) return nb::bool_(false);
    check(PyObject_DelItem(tokens.ptr(), a[0].ptr()));
    save(self);
    return nb::bool_(true);
}

constinit Method def::delete_token{
    {"delete_token", true, {req("token_id")}}, KeyRegistry_delete_token,
    "Remove the token; False when there is no such token."};

object KeyRegistry_list_tokens(handle self, const Args &a) {
    bool include_inactive = a.given(0) && truthy(a[0]);
    object all = steal_or_raise(PySequence_List(call_method(tokens_of(self), names.values).ptr()));
    if (include_inactive) return all;
    object active = steal_or_raise(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.ptr()); ++i) {
        object token = nb::borrow(PyList_GET_ITEM(all.ptr(), i));
        if (truthy(get_attr(token, names.is_active))) check(PyList_Append(active.ptr(), token.ptr()));
    }
    return active;
}

constinit Method def::list_tokens{
    {"list_tokens", true, {opt("include_inactive", "False")}}, KeyRegistry_list_tokens,
    "A new list of the tokens (active ones only unless include_inactive)."};

object KeyRegistry_get_token(handle self, const Args &a) {
    require_exact_str(a[0], "token_id");
    return call_method(tokens_of(self), names.get, a[0]);
}

constinit Method def::get_token{
    {"get_token", true, {req("token_id")}}, KeyRegistry_get_token,
    "The registry's own token record, or None."};

object KeyRegistry_update_token(handle self, const Args &a) {
    handle token_id = a[0], name = a.or_none(1), permissions = a.or_none(2), metadata = a.or_none(4);
    object rate_limit = a.or_none(3).is_none() ? nb::none() : to_int_arg(a[3], "rate_limit");
    require_exact_str(token_id, "token_id");
    require_exact_str_or_none(name, "name");
    require_exact_list_or_none(permissions, "permissions");
    require_exact_dict_or_none(metadata, "metadata");

    object tokens = tokens_of(self);
    bool found = contains(tokens, token_id);
    object token = found ? item(tokens, token_id) : object();
    // Refused before anything changes. The metadata is merged into the
    // token's own dict, so reaching that dict from it would make a cycle.
    if (!permissions.is_none()) require_storable(permissions, "permissions", handle());
    if (!metadata.is_none()) {
        object own = found ? get_attr(token, names.metadata) : object();
        bool merged = own.is_valid() && PyDict_Check(own.ptr()) && !own.is(metadata);
        require_storable(metadata, "metadata", merged ? handle(own) : handle());
    }
    if (!found) return nb::none();
    // Tested against None: an empty name or list, or a limit of 0, is applied.
    if (!name.is_none()) set_attr(token, names.name, name);
    if (!permissions.is_none()) set_attr(token, names.permissions, permissions);
    if (!rate_limit.is_none()) set_attr(token, names.rate_limit, rate_limit);
    if (!metadata.is_none()) call_method(get_attr(token, names.metadata), names.update, metadata);
    save(self);
    return token;
}

constinit Method def::update_token{
    {"update_token", true, {req("token_id"), opt("name"), opt("permissions"), opt("rate_limit"), opt("metadata")}}, KeyRegistry_update_token,
    "Change the given fields (metadata is merged); None when there is no such token.\n\n"
    "Metadata or permissions the token file cannot hold (once merged) are refused\n"
    "before anything changes, as in create_token."};

object KeyRegistry_regenerate_key(handle self, const Args &a) {
    require_exact_str(a[0], "token_id");
    object tokens = tokens_of(self);
    if (!contains(tokens, a[0])) return nb::none();
    object new_key = call_method(self, names._generate_key);
    object hashed = call_method(self, names._hash_key, new_key);
    set_attr(item(tokens, a[0]), names.hashed_key, hashed);
    save(self);
    return new_key;
}

constinit Method def::regenerate_key{
    {"regenerate_key", true, {req("token_id")}}, KeyRegistry_regenerate_key,
    "Replace the token's key and return the new one; the old key stops validating."};

}  // namespace vk::keys
