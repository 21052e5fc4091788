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


// KeyRegistry store (store.cpp).

/// The native writer stands in for `json.dumps` of `Token.to_dict()` values
/// only while neither, nor what they use, has been replaced.
bool native_writer_allowed();

/// The save of `_save_tokens`. `durable` false lets the file reach the disk
/// in the system's own time (the save after a validation only records
/// `last_used`); the replacement is atomic either way.
void save_tokens(handle self, bool durable);


/// The functions and methods (`Method`), each defined beside its body.
namespace def {
extern constinit Method is_expired, has_permission, is_rate_limited, record_request, to_dict, from_dict,
    init, _load_tokens, _save_tokens, _hash_key, _generate_key, _generate_token_id, create_token,
    validate_token, revoke_token, delete_token, list_tokens, get_token, update_token, regenerate_key,
    _replace_token_file;
}  // namespace def

}  // namespace vk::keys
