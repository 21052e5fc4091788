// Internal interface of the encryption module: its state, the interned names
// and the FileEncryptor methods registered by module.cpp.
#pragma once

#include "common/pyclass.hpp"

namespace vk::enc {

/// Objects created when the module is loaded, owned for the life of the process.
struct ModuleState {
    handle module_dict;  // globals: `ENCRYPTION_AVAILABLE`, `Fernet`, `os`, `MAGIC_HEADER` are read here per call
    handle module_name;  // "vesperkit.utils.encryption"
    handle fernet_module;  // cryptography.fernet, for MultiFernet; unset without the package
};

extern ModuleState state;

struct Names {
    handle _fernet, encrypt, decrypt, decode, encode, getenv, generate_key, startswith, rotate, strip;
    handle ENCRYPTION_AVAILABLE, Fernet, MultiFernet, InvalidToken, MAGIC_HEADER, os, VESPERKIT_ENCRYPTION_KEY,
        utf_8, comma;
};

extern Names names;

void init_names();

/// The encrypted-text magic line, "VSK_ENC_V1" and a line feed.
inline constexpr char MAGIC[] = "VSK_ENC_V1\n";
inline constexpr Py_ssize_t MAGIC_LEN = sizeof(MAGIC) - 1;

/// The functions and methods (`Method`), each defined beside its body.
namespace def {
extern constinit Method init, encrypt, decrypt, encrypt_text, decrypt_text, generate_key, is_encrypted,
    rotate;
}  // namespace def

}  // namespace vk::enc
