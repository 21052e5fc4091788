// FileEncryptor: Fernet around byte strings, and the encrypted-text format
// (the magic line, then one Fernet token).
#include "encryption/encryptor.hpp"

#include "common/args.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "common/pyclass.hpp"

#include <cstring>

namespace vk::enc {

namespace {

const char *const MISSING_PACKAGE_INIT =
    "Encryption requires the 'cryptography' package. Install with: pip install vesperkit[encryption]";
const char *const MISSING_PACKAGE_KEYGEN = "cryptography package is required";
const char *const MISSING_KEY =
    "Encryption key required. Pass 'key' argument or set the VESPERKIT_ENCRYPTION_KEY environment "
    "variable. Generate one with: python -c \"from cryptography.fernet import Fernet; "
    "print(Fernet.generate_key().decode())\"";

object global(handle name) { return lookup_global(state.module_dict, name); }

/// `data.startswith(MAGIC_HEADER)` with the header as currently bound.
bool starts_with_header(handle data, handle header) {
    if (PyBytes_CheckExact(header.ptr())) {
        Py_ssize_t n = PyBytes_GET_SIZE(header.ptr());
        return PyBytes_GET_SIZE(data.ptr()) >= n &&
               std::memcmp(PyBytes_AS_STRING(data.ptr()), PyBytes_AS_STRING(header.ptr()),
                           static_cast<size_t>(n)) == 0;
    }
    return truthy(call_method(data, names.startswith, header));
}

object encrypt_impl(handle self, handle data) {
    return call_method(get_attr(self, names._fernet), names.encrypt, data);
}

object decrypt_impl(handle self, handle token) {
    return call_method(get_attr(self, names._fernet), names.decrypt, token);
}

}  // namespace

object FileEncryptor_init(handle self, const Args &a) {
    handle key = a.or_none(0);
    require_exact_str_or_none(key, "key");
    // Refused before the key is looked at, so a missing package is reported
    // the same way whatever the caller passed.
    if (!truthy(global(names.ENCRYPTION_AVAILABLE))) raise_format(PyExc_ImportError, "%s", MISSING_PACKAGE_INIT);
    object resolved;
    if (!key.is_none() && PyUnicode_GET_LENGTH(key.ptr()) > 0)
        resolved = nb::borrow(key);
    else
        resolved = call_method(global(names.os), names.getenv, names.VESPERKIT_ENCRYPTION_KEY);
    if (!truthy(resolved)) raise_format(PyExc_ValueError, "%s", MISSING_KEY);
    object raw = call_method(resolved, names.encode);
    object fernet = call(global(names.Fernet), raw);
    set_attr(self, names._fernet, fernet);
    return nb::none();
}

constinit Method def::init{
    {"__init__", true, {opt("key")}}, FileEncryptor_init,
    "A Fernet cipher under `key`, or under $VESPERKIT_ENCRYPTION_KEY when `key` is None or empty."};

object FileEncryptor_encrypt(handle self, const Args &a) {
    require_exact_bytes(a[0], "data");
    return encrypt_impl(self, a[0]);
}

constinit Method def::encrypt{
    {"encrypt", true, {req("data")}}, FileEncryptor_encrypt,
    "A bare Fernet token for the bytes `data` (no magic line)."};

object FileEncryptor_decrypt(handle self, const Args &a) {
    require_exact_bytes(a[0], "token");
    return decrypt_impl(self, a[0]);
}

constinit Method def::decrypt{
    {"decrypt", true, {req("token")}}, FileEncryptor_decrypt,
    "The plaintext of a bare Fernet token, whatever its age; InvalidToken when it does not verify."};

object FileEncryptor_encrypt_text(handle self, const Args &a) {
    require_exact_str(a[0], "text");
    object plain = steal_or_raise(PyUnicode_AsUTF8String(a[0].ptr()));
    object encrypt = get_attr(self, names.encrypt);
    object ciphertext = is_own_method<def::encrypt>(encrypt, self) ? encrypt_impl(self, plain)
                                                                            : call(encrypt, plain);
    object header = global(names.MAGIC_HEADER);
    if (!PyBytes_CheckExact(header.ptr()) || !PyBytes_CheckExact(ciphertext.ptr()))
        return steal_or_raise(PyNumber_Add(header.ptr(), ciphertext.ptr()));
    Py_ssize_t nh = PyBytes_GET_SIZE(header.ptr());
    Py_ssize_t nc = PyBytes_GET_SIZE(ciphertext.ptr());
    if (Py_REFCNT(ciphertext.ptr()) == 1) {
        // The token was made for this call and nothing else holds it: grow it
        // in place and slide it behind the header, rather than copying a
        // large token into fresh memory.
        PyObject *token = ciphertext.release().ptr();
        if (_PyBytes_Resize(&token, nh + nc) < 0) raise_pending();  // frees the token on failure
        char *dst = PyBytes_AS_STRING(token);
        std::memmove(dst + nh, dst, static_cast<size_t>(nc));
        std::memcpy(dst, PyBytes_AS_STRING(header.ptr()), static_cast<size_t>(nh));
        return nb::steal(token);
    }
    object out = steal_or_raise(PyBytes_FromStringAndSize(nullptr, nh + nc));
    char *dst = PyBytes_AS_STRING(out.ptr());
    std::memcpy(dst, PyBytes_AS_STRING(header.ptr()), static_cast<size_t>(nh));
    std::memcpy(dst + nh, PyBytes_AS_STRING(ciphertext.ptr()), static_cast<size_t>(nc));
    return out;
}

constinit Method def::encrypt_text{
    {"encrypt_text", true, {req("text")}}, FileEncryptor_encrypt_text,
    "MAGIC_HEADER followed by a Fernet token of the UTF-8 bytes of `text`."};

object FileEncryptor_decrypt_text(handle self, const Args &a) {
    require_exact_bytes(a[0], "data");
    object data = nb::borrow(a[0]);
    object header = global(names.MAGIC_HEADER);
    if (starts_with_header(data, header)) {
        // One header only: a second one stays and makes the token invalid.
        Py_ssize_t n = check_size(PyObject_Length(header.ptr()));
        Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
        if (n > size) n = size;
        data = steal_or_raise(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.ptr()) + n, size - n));
    }
    object decrypt = get_attr(self, names.decrypt);
    object plain = is_own_method<def::decrypt>(decrypt, self) ? decrypt_impl(self, data)
                                                                       : call(decrypt, data);
    if (PyBytes_CheckExact(plain.ptr()))
        return steal_or_raise(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(plain.ptr()), PyBytes_GET_SIZE(plain.ptr()), nullptr));
    return call_method(plain, names.decode, names.utf_8);
}

constinit Method def::decrypt_text{
    {"decrypt_text", true, {req("data")}}, FileEncryptor_decrypt_text,
    "The text of encrypted-text data, or of a bare Fernet token."};

object FileEncryptor_generate_key(handle, const Args &) {
    if (!truthy(global(names.ENCRYPTION_AVAILABLE))) raise_format(PyExc_ImportError, "%s", MISSING_PACKAGE_KEYGEN);
    object key = call_method(global(names.Fernet), names.generate_key);
    return call_method(key, names.decode);
}

constinit Method def::generate_key{
    {"generate_key", false, {}}, FileEncryptor_generate_key,
    "A new random Fernet key as 44 characters of URL-safe base64.", METH_STATIC};

object FileEncryptor_is_encrypted(handle, const Args &a) {
    require_exact_bytes(a[0], "data");
    return nb::bool_(starts_with_header(a[0], global(names.MAGIC_HEADER)));
}

constinit Method def::is_encrypted{
    {"is_encrypted", false, {req("data")}}, FileEncryptor_is_encrypted,
    "Whether the bytes `data` begin with MAGIC_HEADER (a prefix test only).", METH_STATIC};

}  // namespace vk::enc
