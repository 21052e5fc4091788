// Internal interface of the encryption module: its state, the interned names
// and the FileEncryptor methods registered by module.cpp.
#pragma once

#include "common/pyclass.hpp"

namespace vk::enc {

/// Objects created when the module is loaded, owned for the life of the process.
struct ModuleState {
    handle module_dict;  // globals: `ENCRYPTION_AVAILABLE`, `Fernet`, `os`, `MAGIC_HEADER` are read here per call
    handle module_name;  // "vesperkit.utils.encryption"
};

extern ModuleState state;

struct Names {
    handle _fernet, encrypt, decrypt, decode, encode, getenv, generate_key, startswith;
    handle ENCRYPTION_AVAILABLE, Fernet, InvalidToken, MAGIC_HEADER, os, VESPERKIT_ENCRYPTION_KEY, utf_8;
};

extern Names names;

void init_names();

/// The encrypted-text magic line, "VSK_ENC_V1" and a line feed.
inline constexpr char MAGIC[] = "VSK_ENC_V1\n";
inline constexpr Py_ssize_t MAGIC_LEN = sizeof(MAGIC) - 1;

// FileEncryptor methods, in definition order.
object FileEncryptor_init(handle, const Args &);
object FileEncryptor_encrypt(handle, const Args &);
object FileEncryptor_decrypt(handle, const Args &);
object FileEncryptor_encrypt_text(handle, const Args &);
object FileEncryptor_decrypt_text(handle, const Args &);
object FileEncryptor_generate_key(handle, const Args &);
object FileEncryptor_is_encrypted(handle, const Args &);

/// The signatures, each declared once: the entry points parse with them, the
/// docstrings' text signatures are made from them, and the "still ours?"
/// tests name them.
namespace def {
inline constinit Method init{{"__init__", true, {opt("key")}}, FileEncryptor_init};
inline constinit Method encrypt{{"encrypt", true, {req("data")}}, FileEncryptor_encrypt};
inline constinit Method decrypt{{"decrypt", true, {req("token")}}, FileEncryptor_decrypt};
inline constinit Method encrypt_text{{"encrypt_text", true, {req("text")}}, FileEncryptor_encrypt_text};
inline constinit Method decrypt_text{{"decrypt_text", true, {req("data")}}, FileEncryptor_decrypt_text};
inline constinit Method generate_key{{"generate_key", false, {}}, FileEncryptor_generate_key};
inline constinit Method is_encrypted{{"is_encrypted", false, {req("data")}}, FileEncryptor_is_encrypted};
}  // namespace def

}  // namespace vk::enc
