// Internal interface of the key registry module: its state, the interned
// names, and the entry points of token.cpp, store.cpp and lifecycle.cpp,
// registered by module.cpp.
#pragma once

#include "common/pyclass.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>

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
    handle zero, window_seconds, mode_600;  // numbers used in comparisons and calls
};

extern Names names;

/// Length of the rate-limit window, in seconds of the monotonic clock.
inline constexpr double WINDOW_SECONDS = 60.0;

// ---------------------------------------------------------------- Token fields

/// The annotation of a Token field.
enum class FieldType : unsigned char { str, optional_str, str_list, int_, bool_, dict, float_list };
/// The default of a Token field: none (required), a value, or a factory.
enum class FieldDefault : unsigned char { required, none, zero, true_, read_write, new_dict, new_list };

/// One field of the Token record: its name (and the attribute of `names`
/// that holds it interned), its annotation, its default, and whether its
/// repr shows it.
struct TokenField {
    const char *name;
    handle Names::*interned;
    FieldType type;
    FieldDefault default_;
    bool repr = true;
};

/// The Token record's fields, in order, declared once: the data class, its
/// interned names, the token file's labels and the field indices below are
/// all made from this table. The stored form is every field but the last,
/// the per-process request window.
inline constexpr TokenField TOKEN_FIELDS[] = {
    {"token_id", &Names::token_id, FieldType::str, FieldDefault::required},
    {"name", &Names::name, FieldType::str, FieldDefault::required},
    {"hashed_key", &Names::hashed_key, FieldType::str, FieldDefault::required},
    {"created_at", &Names::created_at, FieldType::str, FieldDefault::required},
    {"expires_at", &Names::expires_at, FieldType::optional_str, FieldDefault::none},
    {"last_used", &Names::last_used, FieldType::optional_str, FieldDefault::none},
    {"permissions", &Names::permissions, FieldType::str_list, FieldDefault::read_write},
    {"rate_limit", &Names::rate_limit, FieldType::int_, FieldDefault::zero},
    {"is_active", &Names::is_active, FieldType::bool_, FieldDefault::true_},
    {"metadata", &Names::metadata, FieldType::dict, FieldDefault::new_dict},
    {"_request_timestamps", &Names::_request_timestamps, FieldType::float_list, FieldDefault::new_list, false},
};

inline constexpr std::size_t TOKEN_FIELD_COUNT = std::size(TOKEN_FIELDS);

/// The index of the Token field `name` (a name not in the table does not compile).
consteval std::size_t token_field(std::string_view name) {
    for (std::size_t i = 0; i < TOKEN_FIELD_COUNT; ++i)
        if (name == TOKEN_FIELDS[i].name) return i;
    throw "not a Token field";
}

/// The field's name, interned.
inline handle token_field_name(std::size_t i) { return names.*(TOKEN_FIELDS[i].interned); }

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

object Token_is_expired(handle, const Args &);
object Token_has_permission(handle, const Args &);
object Token_is_rate_limited(handle, const Args &);
object Token_record_request(handle, const Args &);
object Token_to_dict(handle, const Args &);
object Token_from_dict(handle, const Args &);

// KeyRegistry store (store.cpp).

/// The native writer stands in for `json.dumps` of `Token.to_dict()` values
/// only while neither, nor what they use, has been replaced.
bool native_writer_allowed();

/// The save of `_save_tokens`. `durable` false lets the file reach the disk
/// in the system's own time (the save after a validation only records
/// `last_used`); the replacement is atomic either way.
void save_tokens(handle self, bool durable);

object KeyRegistry_init(handle, const Args &);
object KeyRegistry_load_tokens(handle, const Args &);
object KeyRegistry_save_tokens(handle, const Args &);

// KeyRegistry operations (lifecycle.cpp), in definition order.
object KeyRegistry_hash_key(handle, const Args &);
object KeyRegistry_generate_key(handle, const Args &);
object KeyRegistry_generate_token_id(handle, const Args &);
object KeyRegistry_create_token(handle, const Args &);
object KeyRegistry_validate_token(handle, const Args &);
object KeyRegistry_revoke_token(handle, const Args &);
object KeyRegistry_delete_token(handle, const Args &);
object KeyRegistry_list_tokens(handle, const Args &);
object KeyRegistry_get_token(handle, const Args &);
object KeyRegistry_update_token(handle, const Args &);
object KeyRegistry_regenerate_key(handle, const Args &);

/// The signatures, each declared once: the entry points parse with them, the
/// docstrings' text signatures are made from them, and the "still ours?"
/// tests name them.
namespace def {
inline constinit Method is_expired{{"is_expired", true, {}}, Token_is_expired};
inline constinit Method has_permission{{"has_permission", true, {req("permission")}}, Token_has_permission};
inline constinit Method is_rate_limited{{"is_rate_limited", true, {}}, Token_is_rate_limited};
inline constinit Method record_request{{"record_request", true, {}}, Token_record_request};
inline constinit Method to_dict{{"to_dict", true, {}}, Token_to_dict};
inline constinit Method from_dict{{"from_dict", true, {req("data")}}, Token_from_dict};

inline constinit Method init{{"__init__", true, {opt("tokens_file", "'vesperkit_tokens.json'"), opt("encryption_key")}},
                             KeyRegistry_init};
inline constinit Method _load_tokens{{"_load_tokens", true, {}}, KeyRegistry_load_tokens};
inline constinit Method _save_tokens{{"_save_tokens", true, {}}, KeyRegistry_save_tokens};
inline constinit Method _hash_key{{"_hash_key", true, {req("api_key")}}, KeyRegistry_hash_key};
inline constinit Method _generate_key{{"_generate_key", true, {}}, KeyRegistry_generate_key};
inline constinit Method _generate_token_id{{"_generate_token_id", true, {}}, KeyRegistry_generate_token_id};
inline constinit Method create_token{{"create_token", true,
                                      {req("name"), opt("permissions"), opt("expires_days"), opt("rate_limit", "0"),
                                       opt("metadata")}},
                                     KeyRegistry_create_token};
inline constinit Method validate_token{{"validate_token", true, {req("api_key")}}, KeyRegistry_validate_token};
inline constinit Method revoke_token{{"revoke_token", true, {req("token_id")}}, KeyRegistry_revoke_token};
inline constinit Method delete_token{{"delete_token", true, {req("token_id")}}, KeyRegistry_delete_token};
inline constinit Method list_tokens{{"list_tokens", true, {opt("include_inactive", "False")}},
                                    KeyRegistry_list_tokens};
inline constinit Method get_token{{"get_token", true, {req("token_id")}}, KeyRegistry_get_token};
inline constinit Method update_token{{"update_token", true,
                                      {req("token_id"), opt("name"), opt("permissions"), opt("rate_limit"),
                                       opt("metadata")}},
                                     KeyRegistry_update_token};
inline constinit Method regenerate_key{{"regenerate_key", true, {req("token_id")}}, KeyRegistry_regenerate_key};
}  // namespace def

}  // namespace vk::keys
