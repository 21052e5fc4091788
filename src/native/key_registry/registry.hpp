// Internal interface of the key registry module: its state, the interned
// names, and the entry points of token.cpp, store.cpp and lifecycle.cpp,
// registered by module.cpp.
#pragma once

#include "common/py.hpp"

namespace vk::keys {

/// Objects created when the module is loaded, owned for the life of the process.
struct ModuleState {
    handle module_dict;    // globals: helpers, clocks and `logger` are looked up here per call
    handle module_name;    // "vesperkit.auth.key_registry"
    handle token_type;     // Token data class
    handle registry_type;  // KeyRegistry
    // What the native token-file writer stands in for. It is used only while
    // these are still in place, so that a replaced `json.dumps`, `asdict` or
    // `Token.to_dict` is honoured.
    handle json_module, json_dumps, asdict, token_to_dict;
    // FileEncryptor's own encrypt_text, and the globals it reads: a save
    // does its work without a detour through text while it is still in place.
    handle encrypt_text, encryption_dict;
};

extern ModuleState state;

struct Names {
    // Token fields, in order.
    handle token_id, name, hashed_key, created_at, expires_at, last_used, permissions, rate_limit,
        is_active, metadata, _request_timestamps;
    // KeyRegistry attributes and methods.
    handle tokens_file, tokens, _encryptor, TOKEN_PREFIX, _load_tokens, _save_tokens, _hash_key,
        _generate_key, _generate_token_id, _keep_unreadable_copy;
    handle is_expired, is_rate_limited, record_request, to_dict, from_dict;
    // Module globals.
    handle os, json, hashlib, secrets, time, datetime, asdict, Path, validate_file_path,
        FileEncryptor, logger, Token;
    // Other attribute names.
    handle monotonic, now, fromisoformat, isoformat, timedelta, days, sha256, hexdigest,
        token_urlsafe, token_hex, dumps, loads, load, indent, ensure_ascii, JSONDecodeError, error,
        warning, exists, read, close, decode, is_encrypted, encrypt_text, decrypt_text, key, items,
        values, get, update, pop, append, chmod, strftime, startswith, open, encrypt, MAGIC_HEADER;
    handle utf_8, rb, r, encoding, tok_prefix;
    handle zero, sixty, mode_600;  // numbers used in comparisons and calls
};

extern Names names;

void init_names();

/// A module global, looked up now.
object global(handle name);

/// A name the module's code would find among its globals or else among the
/// builtins, looked up now.
object builtin(handle name);

/// `datetime.datetime.now()`, through the module's `datetime`.
object now();

/// `datetime.datetime.now().isoformat()`.
object now_iso();

// Token (token.cpp). The `_impl` functions are the method bodies with the
// object already known to be a token whose method is not overridden.
bool is_expired_impl(handle token);
bool is_rate_limited_impl(handle token);
void record_request_impl(handle token);

object Token_is_expired(handle, PyObject *const *, Py_ssize_t, PyObject *);
object Token_has_permission(handle, PyObject *const *, Py_ssize_t, PyObject *);
object Token_is_rate_limited(handle, PyObject *const *, Py_ssize_t, PyObject *);
object Token_record_request(handle, PyObject *const *, Py_ssize_t, PyObject *);
object Token_to_dict(handle, PyObject *const *, Py_ssize_t, PyObject *);
object Token_from_dict(handle, PyObject *const *, Py_ssize_t, PyObject *);

// KeyRegistry store (store.cpp).

/// The native writer stands in for `json.dumps` of `Token.to_dict()` values
/// only while neither, nor what they use, has been replaced.
bool native_writer_allowed();

/// The save of `_save_tokens`. `durable` false lets the file reach the disk
/// in the system's own time (the save after a validation only records
/// `last_used`); the replacement is atomic either way.
void save_tokens(handle self, bool durable);

/// `_replace_token_file(tokens_file, data)`: the save's atomic, durable,
/// owner-only replacement of a token file, for bytes made elsewhere.
object replace_token_file(handle, PyObject *const *, Py_ssize_t, PyObject *);

object KeyRegistry_init(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_load_tokens(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_save_tokens(handle, PyObject *const *, Py_ssize_t, PyObject *);

// KeyRegistry operations (lifecycle.cpp), in definition order.
object KeyRegistry_hash_key(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_generate_key(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_generate_token_id(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_create_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_validate_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_revoke_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_delete_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_list_tokens(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_get_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_update_token(handle, PyObject *const *, Py_ssize_t, PyObject *);
object KeyRegistry_regenerate_key(handle, PyObject *const *, Py_ssize_t, PyObject *);

}  // namespace vk::keys
