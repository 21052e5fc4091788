// Internal interface of the encryption module: its state, the interned names
// and the FileEncryptor methods registered by module.cpp.
#pragma once

#include "common/py.hpp"

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

// FileEncryptor methods, in definition order.
object FileEncryptor_init(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_encrypt(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_decrypt(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_encrypt_text(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_decrypt_text(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_generate_key(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_is_encrypted(handle, PyObject *const *, Py_ssize_t, PyObject *);
object FileEncryptor_rotate(handle, PyObject *const *, Py_ssize_t, PyObject *);

}  // namespace vk::enc
