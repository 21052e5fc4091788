// Module `vesperkit.utils.encryption`: binds the standard modules, the Fernet
// names (or their stand-ins when the cryptography package is missing) and
// FileEncryptor, in their documented order.
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "encryption/encryptor.hpp"

namespace vk::enc {

ModuleState state;
Names names;

void init_names() {
    VK_NAME(_fernet); VK_NAME(encrypt); VK_NAME(decrypt); VK_NAME(decode); VK_NAME(encode);
    VK_NAME(getenv); VK_NAME(generate_key); VK_NAME(startswith); VK_NAME(rotate); VK_NAME(strip);
    VK_NAME(ENCRYPTION_AVAILABLE); VK_NAME(Fernet); VK_NAME(MultiFernet); VK_NAME(InvalidToken);
    VK_NAME(MAGIC_HEADER); VK_NAME(os); VK_NAME(VESPERKIT_ENCRYPTION_KEY);
    names.utf_8 = interned("utf-8");
    names.comma = interned(",");
}

namespace {

PyMethodDef *const encryptor_methods = method_table<def::init, def::encrypt, def::decrypt, def::encrypt_text,
                                                    def::decrypt_text, def::generate_key, def::is_encrypted, def::rotate>();

}  // namespace

}  // namespace vk::enc

VK_MODULE(encryption, vk::enc,
          "Fernet encryption of byte strings and text, and the on-disk encrypted-text format.",
          set) {
    using namespace vk;
    using namespace vk::enc;

    set("base64", import_module("base64"));
    object logging = import_module("logging");
    set("logging", logging);
    set("os", import_module("os"));
    object typing = import_module("typing");
    set("Optional", get_attr(typing, interned("Optional")));
    set("logger", call(get_attr(logging, interned("getLogger")), state.module_name));

    // The cryptography package is optional: only an ImportError means "absent";
    // anything else it raises while loading is a real fault and stops the import.
    object fernet_names = steal_or_raise(PyTuple_Pack(2, names.Fernet.ptr(), names.InvalidToken.ptr()));
    object fernet_mod =
        nb::steal(PyImport_ImportModuleLevel("cryptography.fernet", nullptr, nullptr, fernet_names.ptr(), 0));
    object fernet_cls, invalid_token;
    if (fernet_mod.is_valid()) {
        // A module without the names fails like `from ... import` does.
        fernet_cls = get_optional_attr(fernet_mod, names.Fernet);
        if (fernet_cls.is_valid()) invalid_token = get_optional_attr(fernet_mod, names.InvalidToken);
        if (!invalid_token.is_valid()) fernet_cls = object();
        // MultiFernet (several keys) is taken from the module when needed.
        if (fernet_cls.is_valid()) state.fernet_module = fernet_mod.release();
    } else {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) raise_pending();
        PyErr_Clear();
    }
    bool available = fernet_cls.is_valid();
    set("Fernet", available ? handle(fernet_cls) : handle(Py_None));
    set("InvalidToken", available ? handle(invalid_token) : handle(PyExc_Exception));
    set("ENCRYPTION_AVAILABLE", available ? handle(Py_True) : handle(Py_False));
    set("MAGIC_HEADER", steal_or_raise(PyBytes_FromStringAndSize(MAGIC, MAGIC_LEN)));

    const char *modname = PyUnicode_AsUTF8(state.module_name.ptr());
    object cls = new_plain_class(modname, "FileEncryptor",
        "Symmetric authenticated encryption (Fernet) of byte strings and text.\n\n"
        "The only state is the cipher, `_fernet`; encrypted text is MAGIC_HEADER\n"
        "followed by one Fernet token.");
    add_methods(cls, encryptor_methods);
    set("FileEncryptor", cls);
}
