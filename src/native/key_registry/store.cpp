// KeyRegistry construction and the token file: loading, and saving by atomic
// replacement (atomic_file.cpp) of the text rendered natively (token_text.cpp)
// or, when anything it stands in for was replaced, by the json module.
#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/context.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "common/pyclass.hpp"
#include "key_registry/atomic_file.hpp"
#include "key_registry/json_writer.hpp"
#include "key_registry/registry.hpp"
#include "key_registry/token_text.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vk::keys {

namespace {

/// The file-system form of a path-like object, and its str form for errors.
struct FsPath {
    object text;
    std::string bytes;
};

FsPath fs_path(handle path_like) {
    FsPath p;
    object fspath = steal_or_raise(PyOS_FSPath(path_like.ptr()));
    object encoded;
    if (PyUnicode_Check(fspath.ptr())) {
        encoded = steal_or_raise(PyUnicode_EncodeFSDefault(fspath.ptr()));
        p.text = fspath;
    } else {
        encoded = fspath;
        p.text = steal_or_raise(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(fspath.ptr())));
    }
    p.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (p.bytes.find('\0') != std::string::npos) raise_format(PyExc_ValueError, "embedded null byte");
    return p;
}

[[noreturn]] void raise_os_error(int err, handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    raise_pending();
}

handle class_dict(handle type) { return handle(reinterpret_cast<PyTypeObject *>(type.ptr())->tp_dict); }

}  // namespace

bool native_writer_allowed() {
    return dict_get(state.module_dict, names.json).ptr() == state.json_module.ptr() &&
           still_bound(handle(PyModule_GetDict(state.json_module.ptr())), names.dumps, state.json_dumps) &&
           still_bound(state.module_dict, names.asdict, state.asdict) &&
           still_bound(class_dict(state.token_type), names.to_dict, state.token_to_dict);
}

namespace {

/// `json.dumps({k: t.to_dict() for k, t in tokens.items()}, indent=2, ensure_ascii=False)`
object render_with_json(handle tokens) {
    object data = steal_or_raise(PyDict_New());
    for_each(call_method(tokens, names.items), [&](handle pair) {
        object key = steal_or_raise(PySequence_GetItem(pair.ptr(), 0));
        object token = steal_or_raise(PySequence_GetItem(pair.ptr(), 1));
        check(PyObject_SetItem(data.ptr(), key.ptr(), call_method(token, names.to_dict).ptr()));
    });
    return call_kw(get_attr(global(names.json), names.dumps), {data},
                              {{names.indent, object(make_int(2))}, {names.ensure_ascii, handle(Py_False)}});
}

bool matches_json_decode_error(const nb::python_error &e) {
    handle json = dict_get(state.module_dict, names.json);
    if (!json.is_valid()) return false;
    object cls = get_optional_attr(json, names.JSONDecodeError);
    return cls.is_valid() && e.matches(cls);
}

/// `with open(path, mode[, encoding=...]) as f: <variable> = body(f)`, then
/// the variable's value.
template <typename Body>
object with_open(handle path, handle mode, handle encoding, const char *variable, Body body) {
    object f = encoding.is_valid() ? call_kw(builtin(names.open), {path, mode}, {{names.encoding, encoding}})
                                   : call(builtin(names.open), path, mode);
    object result;
    with_context(f, [&](handle file) { result = body(file); });
    // A context manager that swallowed the body's error leaves it unset.
    if (!result.is_valid())
        raise_format(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                     variable);
    return result;
}

/// What a save writes, in pieces, and what holds their bytes.
class Payload {
public:
    Payload() = default;
    explicit Payload(std::span<const Piece> text) : pieces_(text.begin(), text.end()) {}
    /// The bytes of a bytes-like object, held for as long as they are written.
    void add(handle bytes_like) {
        auto &view = *views_.emplace_back(std::make_unique<Buffer>());
        if (!view.try_acquire(bytes_like, PyBUF_SIMPLE)) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
            PyErr_Clear();
            raise_format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'", tp_name_of(bytes_like));
        }
        pieces_.push_back({static_cast<const char *>(view.view().buf), static_cast<size_t>(view.view().len)});
    }
    std::span<const Piece> pieces() const { return pieces_; }

private:
    std::vector<std::unique_ptr<Buffer>> views_;
    std::vector<Piece> pieces_;
};

/// The UTF-8 text as one new bytes object: the plaintext the cipher needs.
object joined(std::span<const Piece> text) {
    size_t n = 0;
    for (const Piece &p : text) n += p.size;
    object out = steal_or_raise(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    char *dst = PyBytes_AS_STRING(out.ptr());
    for (const Piece &p : text) {
        std::memcpy(dst, p.data, p.size);
        dst += p.size;
    }
    return out;
}

/// `encryptor.encrypt_text(text)` for the natively rendered text.
void encrypt_into(Payload &payload, handle encryptor, std::span<const Piece> text) {
    object plain = joined(text);
    if (!resolves_to_own_method(encryptor, names.encrypt_text, state.encrypt_text)) {
        object content = steal_or_raise(PyUnicode_FromEncodedObject(plain.ptr(), "utf-8", nullptr));
        plain.reset();
        payload.add(call_method(encryptor, names.encrypt_text, content));
        return;
    }
    // What FileEncryptor's encrypt_text does, without the detour through a
    // str: the header, then a token of the UTF-8 bytes from the encrypt the
    // instance has. Header and token are written one after the other.
    object token = call_method(encryptor, names.encrypt, plain);
    plain.reset();
    object header = lookup_global(state.encryption_dict, names.MAGIC_HEADER);
    if (PyBytes_CheckExact(header.ptr()) && PyBytes_CheckExact(token.ptr())) {
        payload.add(header);
        payload.add(token);
    } else {
        payload.add(steal_or_raise(PyNumber_Add(header.ptr(), token.ptr())));
    }
}

/// The bytes written for `content`, the text the json module rendered.
void encode_into(Payload &payload, handle encryptor, handle content) {
    if (!encryptor.is_none()) {
        payload.add(call_method(encryptor, names.encrypt_text, content));
        return;
    }
    if (!PyUnicode_Check(content.ptr()))
        raise_format(PyExc_TypeError, "write() argument must be str, not %.100s", tp_name_of(content));
    // A lone surrogate has no UTF-8 form: the save fails like any other
    // unwritable content and the file keeps what it had.
    payload.add(steal_or_raise(PyUnicode_AsUTF8String(content.ptr())));
}

/// A file that could not be parsed at load is kept beside the new one before
/// it is replaced, so an unreadable file is never lost silently.
void keep_unreadable_copy(handle self, const Location &loc, const FsPath &path) {
    object pending = get_optional_attr(self, names._keep_unreadable_copy);
    if (!pending.is_valid() || !truthy(pending)) return;
    object stamp = call_method(now(), names.strftime, interned("%Y%m%dT%H%M%S"));
    const char *stamp_text = PyUnicode_AsUTF8(stamp.ptr());
    if (stamp_text == nullptr) raise_pending();
    std::string stamp_str(stamp_text), copy;
    int err;
    {
        nb::gil_scoped_release unlocked;
        err = keep_copy(loc, stamp_str, copy);
    }
    if (err != 0) raise_os_error(err, path.text);
    if (!copy.empty()) {
        object copy_text =
            steal_or_raise(PyUnicode_DecodeFSDefaultAndSize(copy.data(), static_cast<Py_ssize_t>(copy.size())));
        call_method(global(names.logger), names.warning,
                    interned("Kept the unreadable token file as %s before replacing it"), copy_text);
    }
    check(PyObject_DelAttr(self.ptr(), names._keep_unreadable_copy.ptr()));
}

/// Replace the file at `tokens_file` with `pieces`, then give it the
/// owner-only mode. `registry`, when given, has an unreadable file kept first.
void write_token_file(handle tokens_file, handle registry, std::span<const Piece> pieces, bool durable) {
    FsPath path = fs_path(tokens_file);
    Location loc;
    {
        nb::gil_scoped_release unlocked;
        loc = locate(path.bytes);
    }
    if (registry.is_valid()) keep_unreadable_copy(registry, loc, path);
    int err;
    {
        nb::gil_scoped_release unlocked;
        err = replace_file(loc, pieces, durable);
    }
    if (err != 0) raise_os_error(err, path.text);

    object os = global(names.os);
    static handle nt = interned("nt");
    if (check(PyObject_RichCompareBool(get_attr(os, names.name).ptr(), nt.ptr(), Py_NE)))
        call_method(os, names.chmod, tokens_file, names.mode_600);
}

/// Failures of the write, the encoding and the json module are logged, not
/// raised: the change the caller made stands in memory and the previous file
/// stays as it was.
void log_save_error(handle error) {
    call_method(global(names.logger), names.error, interned("Error saving tokens: %s"), error);
}

bool logged_save_error(const nb::python_error &e, bool encoding_step) {
    if (!(e.matches(PyExc_OSError) || e.matches(PyExc_TypeError) || matches_json_decode_error(e) ||
          (encoding_step && e.matches(PyExc_UnicodeEncodeError))))
        return false;
    log_save_error(e.value());
    return true;
}

/// The loaded tokens are what the file holds: their text is kept as their
/// last written form, for a token the host makes unwritable before the next
/// save. Only what the native writer renders is kept; nothing else runs.
void keep_loaded_text(handle self, handle tokens) {
    if (!native_writer_allowed() || !PyDict_CheckExact(tokens.ptr())) return;
    KeptText kept(self);
    ScratchBuffer scratch;
    std::vector<Unwritable> unused;
    kept.get().render(tokens, state.token_type, scratch.get(), unused, false);
}

}  // namespace

void save_tokens(handle self, bool durable) {
    bool encoding_step = false;
    try {
        object tokens = get_attr(self, names.tokens);
        // The text of unchanged tokens is kept from the last save; it is held
        // by `kept` until the file is written.
        KeptText kept(self);
        TokenFileText &text = kept.get();
        bool native;
        std::vector<Unwritable> unwritable;
        {
            ScratchBuffer scratch;
            native = native_writer_allowed() && PyDict_CheckExact(tokens.ptr()) &&
                     text.render(tokens, state.token_type, scratch.get(), unwritable);
        }
        // Each token that cannot be written now is named; the others are written.
        for (const Unwritable &u : unwritable)
            log_save_error(cannot_be_stored(steal_or_raise(PyUnicode_FromFormat("Token %R", u.key.ptr())), u.error));
        object content = native ? object() : render_with_json(tokens);
        object encryptor = get_attr(self, names._encryptor);
        Payload payload;
        encoding_step = true;
        if (!native)
            encode_into(payload, encryptor, content);
        else if (!encryptor.is_none())
            encrypt_into(payload, encryptor, text.pieces());
        else
            payload = Payload(text.pieces());
        encoding_step = false;
        content.reset();
        write_token_file(get_attr(self, names.tokens_file), self, payload.pieces(), durable);
    } catch (nb::python_error &e) {
        if (!logged_save_error(e, encoding_step)) throw;
    }
}

void load_tokens(handle self) {
    object path = get_attr(self, names.tokens_file);
    if (!truthy(call_method(path, names.exists))) {
        set_attr(self, names.tokens, steal_or_raise(PyDict_New()));
        return;
    }
    try {
        object data;
        object encryptor = get_attr(self, names._encryptor);
        if (!encryptor.is_none()) {
            object raw =
                with_open(path, names.rb, handle(), "raw", [](handle f) { return call_method(f, names.read); });
            object content;
            if (truthy(call_method(global(names.FileEncryptor), names.is_encrypted, raw)))
                content = call_method(encryptor, names.decrypt_text, raw);
            else
                content = call_method(raw, names.decode, names.utf_8);
            data = call_method(global(names.json), names.loads, content);
        } else {
            data = with_open(path, names.r, names.utf_8, "data",
                             [](handle f) { return call_method(global(names.json), names.load, f); });
        }
        // Keyed by the member name in the file, not the record's token_id.
        object tokens = steal_or_raise(PyDict_New());
        for_each(call_method(data, names.items), [&](handle pair) {
            object key = steal_or_raise(PySequence_GetItem(pair.ptr(), 0));
            object value = steal_or_raise(PySequence_GetItem(pair.ptr(), 1));
            object token = call_method(global(names.Token), names.from_dict, value);
            check(PyObject_SetItem(tokens.ptr(), key.ptr(), token.ptr()));
        });
        set_attr(self, names.tokens, tokens);
        keep_loaded_text(self, tokens);
    } catch (nb::python_error &e) {
        if (!matches_json_decode_error(e)) throw;
        call_method(global(names.logger), names.warning, interned("Error loading tokens: %s"), e.value());
        set_attr(self, names.tokens, steal_or_raise(PyDict_New()));
        set_attr(self, names._keep_unreadable_copy, handle(Py_True));
    }
}

object replace_token_file(handle, const Args &a) {
    require_exact_bytes(a[1], "data");
    const Piece whole[] = {{PyBytes_AS_STRING(a[1].ptr()), static_cast<size_t>(PyBytes_GET_SIZE(a[1].ptr()))}};
    write_token_file(a[0], handle(), whole, true);
    return nb::none();
}

constinit Method def::_replace_token_file{
    {"_replace_token_file", false, {req("tokens_file"), req("data")}}, replace_token_file,
    "Put the bytes `data` in place of the token file as a save does: a new file in the\n"
    "same directory, synced and renamed over it, then mode 0o600 (not on Windows)."};

object KeyRegistry_init(handle self, const Args &a) {
    handle tokens_file = a.get(0, interned("vesperkit_tokens.json"));
    handle encryption_key = a.or_none(1);
    require_exact_str(tokens_file, "tokens_file");
    require_exact_str_or_none(encryption_key, "encryption_key");

    object checked = call(global(names.validate_file_path), tokens_file);
    set_attr(self, names.tokens_file, call(global(names.Path), checked));
    set_attr(self, names.tokens, steal_or_raise(PyDict_New()));
    set_attr(self, names._encryptor, handle(Py_None));
    // An empty key means no encryption; the environment is not consulted then.
    if (truthy(encryption_key))
        set_attr(self, names._encryptor,
                 call_kw(global(names.FileEncryptor), {}, {{names.key, encryption_key}}));
    call_method(self, names._load_tokens);
    return nb::none();
}

constinit Method def::init{
    {"__init__", true, {opt("tokens_file", "'vesperkit_tokens.json'"), opt("encryption_key")}}, KeyRegistry_init,
    "Load the registry from `tokens_file`, encrypted under `encryption_key` when one is given."};

object KeyRegistry_load_tokens(handle self, const Args &) {
    load_tokens(self);
    return nb::none();
}

object KeyRegistry_save_tokens(handle self, const Args &) {
    save_tokens(self, true);
    return nb::none();
}

constinit Method def::_load_tokens{
    {"_load_tokens", true, {}}, KeyRegistry_load_tokens,
    "Read the token file; an unparseable one is logged and gives an empty registry."};

constinit Method def::_save_tokens{
    {"_save_tokens", true, {}}, KeyRegistry_save_tokens,
    "Replace the token file with the current tokens; failures are logged, not raised.\n\n"
    "A token that cannot be written now keeps its last written form in the file\n"
    "(a token never written is left out) and is logged by its id."};

}  // namespace vk::keys
