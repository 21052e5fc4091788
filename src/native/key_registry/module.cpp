// Module `vesperkit.auth.key_registry`: binds the standard modules, the
// package helpers and FileEncryptor, then defines Token and KeyRegistry, in
// their documented order.
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "key_registry/registry.hpp"

#include <vector>


namespace vk::keys {

ModuleState state;
Names names;

void init_names() {
    for (const TokenField &f : TOKEN_FIELDS) names.*(f.interned) = interned(f.name);
    VK_NAME(tokens_file); VK_NAME(tokens); VK_NAME(_encryptor); VK_NAME(TOKEN_PREFIX); VK_NAME(_load_tokens);
    VK_NAME(_save_tokens); VK_NAME(_hash_key); VK_NAME(_generate_key); VK_NAME(_generate_token_id);
    VK_NAME(_keep_unreadable_copy);
    VK_NAME(is_expired); VK_NAME(is_rate_limited); VK_NAME(record_request); VK_NAME(to_dict); VK_NAME(from_dict);
    VK_NAME(os); VK_NAME(json); VK_NAME(hashlib); VK_NAME(secrets); VK_NAME(time);
    VK_NAME(datetime); VK_NAME(asdict); VK_NAME(Path); VK_NAME(validate_file_path); VK_NAME(FileEncryptor);
    VK_NAME(logger); VK_NAME(Token);
    VK_NAME(monotonic); VK_NAME(now); VK_NAME(fromisoformat); VK_NAME(isoformat); VK_NAME(timedelta);
    VK_NAME(days); VK_NAME(sha256); VK_NAME(hexdigest); VK_NAME(token_urlsafe);
    VK_NAME(token_hex); VK_NAME(dumps); VK_NAME(loads); VK_NAME(load); VK_NAME(indent); VK_NAME(ensure_ascii);
    VK_NAME(JSONDecodeError); VK_NAME(error); VK_NAME(warning); VK_NAME(exists); VK_NAME(read); VK_NAME(close);
    VK_NAME(decode); VK_NAME(is_encrypted); VK_NAME(encrypt_text); VK_NAME(decrypt_text); VK_NAME(key);
    VK_NAME(items); VK_NAME(values); VK_NAME(get); VK_NAME(update); VK_NAME(pop); VK_NAME(append);
    VK_NAME(chmod); VK_NAME(strftime); VK_NAME(startswith); VK_NAME(open); VK_NAME(rb); VK_NAME(r);
    VK_NAME(encoding); VK_NAME(encrypt); VK_NAME(MAGIC_HEADER);
    names.utf_8 = interned("utf-8");
    names.tok_prefix = interned("tok_");
    // Numbers kept for the life of the process, like the interned names.
    names.zero = steal_or_raise(PyLong_FromLong(0)).release();
    names.window_seconds = steal_or_raise(PyFloat_FromDouble(WINDOW_SECONDS)).release();
    names.mode_600 = steal_or_raise(PyLong_FromLong(0600)).release();
}

object global(handle name) { return lookup_global(state.module_dict, name); }

object builtin(handle name) {
    handle found = dict_get(state.module_dict, name);
    return found.is_valid() ? nb::borrow(found) : lookup_builtin(name);
}

object now() { return call_method(get_attr(global(names.datetime), names.datetime), names.now); }

object now_iso() { return call_method(now(), names.isoformat); }

namespace {

/// The data class fields of Token, from its field table; `kept` holds the
/// annotations and the default factory while `field_list` is used.
void token_field_specs(handle typing, std::vector<object> &kept, std::vector<FieldSpec> &field_list) {
    handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    handle list_type(reinterpret_cast<PyObject *>(&PyList_Type));
    handle dict_type(reinterpret_cast<PyObject *>(&PyDict_Type));
    auto type_of = [&](FieldType t) -> object {
        switch (t) {
        case FieldType::str: return nb::borrow(str_type);
        case FieldType::optional_str: return typing_subscript("Optional", {str_type});
        case FieldType::str_list: return typing_subscript("List", {str_type});
        case FieldType::int_: return nb::borrow(handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
        case FieldType::bool_: return nb::borrow(handle(reinterpret_cast<PyObject *>(&PyBool_Type)));
        case FieldType::dict: return get_attr(typing, interned("Dict"));
        case FieldType::float_list:
            return typing_subscript("List", {handle(reinterpret_cast<PyObject *>(&PyFloat_Type))});
        }
        return object();
    };
    // A new ["read", "write"] per token.
    object read_write = steal_or_raise(Py_BuildValue("(ss)", "read", "write"));
    handle default_permissions =
        kept.emplace_back(call(get_attr(import_module("functools"), interned("partial")), list_type, read_write));
    for (const TokenField &f : TOKEN_FIELDS) {
        handle type = kept.emplace_back(type_of(f.type));
        switch (f.default_) {
        case FieldDefault::required: field_list.push_back(field_required(f.name, type)); break;
        case FieldDefault::none: field_list.push_back(field_value(f.name, type, handle(Py_None))); break;
        case FieldDefault::zero: field_list.push_back(field_value(f.name, type, names.zero)); break;
        case FieldDefault::true_: field_list.push_back(field_value(f.name, type, handle(Py_True))); break;
        case FieldDefault::read_write: field_list.push_back(field_factory(f.name, type, default_permissions, f.repr)); break;
        case FieldDefault::new_dict: field_list.push_back(field_factory(f.name, type, dict_type, f.repr)); break;
        case FieldDefault::new_list: field_list.push_back(field_factory(f.name, type, list_type, f.repr)); break;
        }
    }
}

PyMethodDef *const token_methods = method_table<def::is_expired, def::has_permission, def::is_rate_limited,
                                                def::record_request, def::to_dict, def::from_dict>();

PyMethodDef *const registry_methods = method_table<def::init, def::_load_tokens, def::_save_tokens,
                                                   def::_hash_key, def::_generate_key, def::_generate_token_id,
                                                   def::create_token, def::validate_token, def::revoke_token,
                                                   def::delete_token, def::list_tokens, def::get_token,
                                                   def::update_token, def::regenerate_key>();

}  // namespace

}  // namespace vk::keys

VK_MODULE(key_registry, vk::keys,
          "API keys: issuing, validation with rate limits, revocation and regeneration, "
          "kept as SHA-256 hashes in a JSON token file, encrypted when a key is configured.",
          set) {
    using namespace vk;
    using namespace vk::keys;

    object logging = import_module("logging");
    set("logging", logging);
    set("os", import_module("os"));
    object json = import_module("json");
    set("json", json);
    for (const char *name : {"hashlib", "secrets", "time", "datetime"}) set(name, import_module(name));
    object typing = import_module("typing");
    for (const char *name : {"Optional", "Dict", "List"}) set(name, get_attr(typing, interned(name)));
    object dataclasses = import_module("dataclasses");
    for (const char *name : {"dataclass", "field", "asdict"}) set(name, get_attr(dataclasses, interned(name)));
    set("Path", get_attr(import_module("pathlib"), interned("Path")));

    // The package helpers come from the package root, two levels up.
    object text_mod = import_from_package(state.module_name, 2, "utils.text");
    object enc_mod = import_from_package(state.module_name, 2, "utils.encryption");
    set("validate_file_path", get_attr(text_mod, interned("validate_file_path")));
    object file_encryptor = get_attr(enc_mod, interned("FileEncryptor"));
    set("FileEncryptor", file_encryptor);
    if (PyType_Check(file_encryptor.ptr()))
        state.encrypt_text = nb::borrow(dict_get(
            handle(reinterpret_cast<PyTypeObject *>(file_encryptor.ptr())->tp_dict), names.encrypt_text)).release();
    state.encryption_dict = nb::borrow(handle(PyModule_GetDict(enc_mod.ptr()))).release();
    set("logger", call(get_attr(logging, interned("getLogger")), state.module_name));

    const char *modname = PyUnicode_AsUTF8(state.module_name.ptr());
    std::vector<object> kept;
    std::vector<FieldSpec> field_list;
    token_field_specs(typing, kept, field_list);
    object token_t = make_dataclass(modname, "Token", field_list);
    set_attr(token_t, interned("__doc__"),
             make_str("The record of one issued API key: its SHA-256 hash (never the key), times,\n"
                      "permissions, rate limit, state and metadata, plus a per-process request window."));
    add_methods(token_t, token_methods);
    set("Token", token_t);
    state.token_type = token_t.release();
    state.token_to_dict = nb::borrow(dict_get(handle(reinterpret_cast<PyTypeObject *>(state.token_type.ptr())->tp_dict),
                                              names.to_dict)).release();
    state.json_module = json.release();
    state.json_dumps = get_attr(state.json_module, names.dumps).release();
    state.asdict = get_attr(dataclasses, names.asdict).release();

    object registry_t = new_plain_class(modname, "KeyRegistry",
        "Issued API keys, kept as SHA-256 hashes in a JSON token file that is rewritten\n"
        "after every change and encrypted when an encryption key is given.");
    set_attr(registry_t, names.TOKEN_PREFIX, interned("vsk_"));
    add_methods(registry_t, registry_methods);
    set("KeyRegistry", registry_t);
    state.registry_type = registry_t.release();
    set("_replace_token_file", new_function(function_def<def::_replace_token_file>(), state.module_name));
}
