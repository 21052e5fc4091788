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

/// `data` with one leading MAGIC_HEADER dropped (the caller has seen it is there).
object after_header(handle data, handle header) {
    Py_ssize_t n = check_size(PyObject_Length(header.ptr()));
    Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    if (n > size) n = size;
    return steal_or_raise(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.ptr()) + n, size - n));
}

/// `header + ciphertext`.
object with_header(handle header, object ciphertext) {
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

/// cryptography's MultiFernet; the constructor's ImportError without the package.
object multi_fernet() {
    if (!state.fernet_module.is_valid()) raise_format(PyExc_ImportError, "%s", MISSING_PACKAGE_INIT);
    return get_attr(state.fernet_module, names.MultiFernet);
}

/// A ValueError about the key at `position` (1-based) of `count`. Nothing
/// is chained to it: the error it replaces may quote the key.
[[noreturn]] void raise_key_error(Py_ssize_t position, Py_ssize_t count, const char *what) {
    object message = steal_or_raise(PyUnicode_FromFormat("Encryption key %zd of %zd %s", position, count, what));
    object exc = call(handle(PyExc_ValueError), message);
    PyException_SetCause(exc.ptr(), nullptr);  // as `raise ... from None`
    reraise(std::move(exc));
}

/// The cipher for a key text. A text without a comma is one key and gives a
/// Fernet, errors included, as it always has; a comma (never part of a key)
/// separates several keys and gives a MultiFernet that encrypts under the
/// first and decrypts under any.
object make_cipher(handle key_text) {
    object fernet = global(names.Fernet);
    Py_ssize_t comma = -1;
    if (PyUnicode_Check(key_text.ptr())) {
        comma = PyUnicode_FindChar(key_text.ptr(), ',', 0, PyUnicode_GET_LENGTH(key_text.ptr()), 1);
        if (comma == -2) raise_pending();
    }
    if (comma == -1) return call(fernet, call_method(key_text, names.encode));
    object entries = steal_or_raise(PyUnicode_Split(key_text.ptr(), names.comma.ptr(), -1));
    Py_ssize_t count = PyList_GET_SIZE(entries.ptr());
    object ciphers = steal_or_raise(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        object entry = call_method(handle(PyList_GET_ITEM(entries.ptr(), i)), names.strip);
        if (PyUnicode_GET_LENGTH(entry.ptr()) == 0) raise_key_error(i + 1, count, "is empty");
        object cipher;
        try {
            cipher = call(fernet, call_method(entry, names.encode));
        } catch (nb::python_error &e) {
            // Fernet's own message is safe, but a UnicodeEncodeError holds
            // the whole text: the position alone is reported.
            if (!e.matches(PyExc_ValueError)) throw;
        }
        if (!cipher.is_valid()) raise_key_error(i + 1, count, "is not a valid Fernet key");
        PyList_SET_ITEM(ciphers.ptr(), i, cipher.release().ptr());
    }
    return call(multi_fernet(), ciphers);
}

/// `cipher.rotate(token)`: the token re-encrypted under the first key, its
/// timestamp kept. A single Fernet has no rotate of its own and is given
/// one by a MultiFernet around it.
object rotate_token(handle cipher, handle token) {
    object rotate = get_optional_attr(cipher, names.rotate);
    if (rotate.is_valid()) return call(rotate, token);
    object one = steal_or_raise(PyList_New(1));
    PyList_SET_ITEM(one.ptr(), 0, nb::borrow(cipher).release().ptr());
    object multi = call(multi_fernet(), one);
    return call_method(multi, names.rotate, token);
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
    set_attr(self, names._fernet, make_cipher(resolved));
    return nb::none();
}

constinit Method def::init{
    {"__init__", true, {opt("key")}}, FileEncryptor_init,
    "A Fernet cipher under `key`, or under $VESPERKIT_ENCRYPTION_KEY when `key` is None or empty.\n\n"
    "Several keys separated by commas (blanks around them ignored) give a MultiFernet:\n"
    "the first key encrypts, any of them decrypts. A key that is empty or not a Fernet\n"
    "key raises ValueError naming only its position, \"Encryption key 2 of 3 is empty\"\n"
    "or \"Encryption key 2 of 3 is not a valid Fernet key\"."};

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
    return with_header(global(names.MAGIC_HEADER), std::move(ciphertext));
}

constinit Method def::encrypt_text{
    {"encrypt_text", true, {req("text")}}, FileEncryptor_encrypt_text,
    "MAGIC_HEADER followed by a Fernet token of the UTF-8 bytes of `text`."};

object FileEncryptor_decrypt_text(handle self, const Args &a) {
    require_exact_bytes(a[0], "data");
    object data = nb::borrow(a[0]);
    object header = global(names.MAGIC_HEADER);
    // One header only: a second one stays and makes the token invalid.
    if (starts_with_header(data, header)) data = after_header(data, header);
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

object FileEncryptor_rotate(handle self, const Args &a) {
    require_exact_bytes(a[0], "data");
    object header = global(names.MAGIC_HEADER);
    if (!starts_with_header(a[0], header)) return rotate_token(get_attr(self, names._fernet), a[0]);
    object rotated = rotate_token(get_attr(self, names._fernet), after_header(a[0], header));
    return with_header(header, std::move(rotated));
}

constinit Method def::rotate{
    {"rotate", true, {req("data")}}, FileEncryptor_rotate,
    "Encrypted-text data, or a bare Fernet token, re-encrypted under the first key.\n\n"
    "The result has the form of `data` (MAGIC_HEADER kept when present) and the\n"
    "original timestamp; any of the keys may have made `data`. InvalidToken when\n"
    "none of them did."};

}  // namespace vk::enc
