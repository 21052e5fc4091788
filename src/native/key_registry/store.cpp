// KeyRegistry construction and the token file: loading, and saving by atomic
// replacement.
//
// A save writes the whole file to a new file in the same directory (created
// owner-only, so the hashes are never readable by others), flushes it to disk
// and renames it over the token file: a reader, or a crash at any moment,
// sees either the previous file or the new one, never a part of either.
#include "common/args.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "key_registry/json_writer.hpp"
#include "key_registry/registry.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vk::keys {

namespace {

constexpr mode_t OWNER_ONLY = 0600;

// ---------------------------------------------------------------------------
// File operations. They run without the GIL and report an errno (0 = done).

int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int sync_fd(int fd) {
#ifdef F_FULLFSYNC
    // On macOS fsync stops at the drive's cache; this asks the drive too.
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
}

/// Make a rename in `dir` durable. File systems that cannot sync a directory
/// say so with EINVAL; the rename itself has already happened then.
void sync_dir(const std::string &dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

struct Location {
    std::string path;    // the file actually replaced (a symlinked token file is followed)
    std::string dir;     // its directory, for syncing
    std::string prefix;  // directory part with its trailing slash, or empty
    std::string base;    // file name
};

Location locate(const std::string &given) {
    Location loc;
    loc.path = given;
    // A symlinked token file is written through its link (even a link whose
    // target does not exist yet): replacing the link itself would leave the
    // target behind, stale.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(loc.path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        ssize_t n = ::readlink(loc.path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size()) break;
        target.resize(static_cast<size_t>(n));
        size_t slash = loc.path.rfind('/');
        if (target.empty() || target[0] == '/' || slash == std::string::npos)
            loc.path = target;
        else
            loc.path = loc.path.substr(0, slash + 1) + target;
    }
    size_t slash = loc.path.rfind('/');
    if (slash == std::string::npos) {
        loc.dir.assign(1, '.');
        loc.base = loc.path;
    } else {
        loc.prefix = loc.path.substr(0, slash + 1);
        loc.dir = slash == 0 ? std::string("/") : loc.path.substr(0, slash);
        loc.base = loc.path.substr(slash + 1);
    }
    return loc;
}

/// A new owner-only file at a fresh name `<stem><suffix>`: O_EXCL and
/// O_NOFOLLOW, so nothing already there (a planted link) is ever written.
int create_new(const std::string &stem, std::string &name, int &fd, bool numbered) {
    static std::atomic<unsigned long long> counter{0};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (numbered) {
            name = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        } else {
            unsigned long long n = counter.fetch_add(1) ^
                static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
            name = stem + std::to_string(::getpid()) + "-" + std::to_string(n % 1000000007ULL);
        }
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, OWNER_ONLY);
        if (fd >= 0) {
            // The umask may have taken bits away; the mode is exactly 0o600.
            if (::fchmod(fd, OWNER_ONLY) != 0) {
                int err = errno;
                ::close(fd);
                ::unlink(name.c_str());
                return err;
            }
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

/// Put `data` in place of `loc.path` by writing a temporary file beside it
/// and renaming it over the target.
int replace_file(const Location &loc, const char *data, size_t n, bool durable) {
    std::string tmp;
    int fd = -1;
    int err = create_new(loc.prefix + "." + loc.base + ".tmp-", tmp, fd, false);
    if (err != 0) return err;
    err = write_all(fd, data, n);
    if (err == 0 && durable) err = sync_fd(fd);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), loc.path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return err;
    }
    if (durable) sync_dir(loc.dir);
    return 0;
}

/// Copy the file at `loc.path` to `<path>.corrupt-<stamp>[-N]` (owner-only,
/// synced). `copy` stays empty when there is nothing to keep (no file, or
/// an empty one).
int keep_copy(const Location &loc, const std::string &stamp, std::string &copy) {
    int in = ::open(loc.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno == ENOENT ? 0 : errno;
    std::string content;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(in, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(in);
            return err;
        }
        if (r == 0) break;
        content.append(buf, static_cast<size_t>(r));
    }
    ::close(in);
    if (content.empty()) return 0;
    std::string name;
    int fd = -1;
    int err = create_new(loc.path + ".corrupt-" + stamp, name, fd, true);
    if (err != 0) return err;
    err = write_all(fd, content.data(), content.size());
    if (err == 0) err = sync_fd(fd);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
        ::unlink(name.c_str());
        return err;
    }
    sync_dir(loc.dir);
    copy = name;
    return 0;
}

// ---------------------------------------------------------------------------

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

/// The native writer stands in for `json.dumps` of `Token.to_dict()` values
/// only while neither has been replaced.
bool native_writer_allowed() {
    handle json = dict_get(state.module_dict, names.json);
    if (json.ptr() != state.json_module.ptr()) return false;
    PyObject *dumps = nullptr;
    if (PyObject_GetOptionalAttr(json.ptr(), names.dumps.ptr(), &dumps) <= 0) {
        PyErr_Clear();
        return false;
    }
    bool same_dumps = dumps == state.json_dumps.ptr();
    Py_DECREF(dumps);
    if (!same_dumps) return false;
    if (dict_get(state.module_dict, names.asdict).ptr() != state.asdict.ptr()) return false;
    PyObject *cls_dict = reinterpret_cast<PyTypeObject *>(state.token_type.ptr())->tp_dict;
    return dict_get(handle(cls_dict), names.to_dict).ptr() == state.token_to_dict.ptr();
}

/// `json.dumps({k: t.to_dict() for k, t in tokens.items()}, indent=2, ensure_ascii=False)`
object render_with_json(handle tokens) {
    object data = steal_or_raise(PyDict_New());
    object items = call_method(tokens, names.items);
    object it = steal_or_raise(PyObject_GetIter(items.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        object pair = nb::steal(item);
        object key = steal_or_raise(PySequence_GetItem(pair.ptr(), 0));
        object token = steal_or_raise(PySequence_GetItem(pair.ptr(), 1));
        check(PyObject_SetItem(data.ptr(), key.ptr(), call_method(token, names.to_dict).ptr()));
    }
    if (PyErr_Occurred()) raise_pending();
    object dumps = get_attr(global(names.json), names.dumps);
    object args = steal_or_raise(PyTuple_Pack(1, data.ptr()));
    object kwargs = steal_or_raise(PyDict_New());
    check(PyDict_SetItem(kwargs.ptr(), names.indent.ptr(), object(make_int(2)).ptr()));
    check(PyDict_SetItem(kwargs.ptr(), names.ensure_ascii.ptr(), Py_False));
    return steal_or_raise(PyObject_Call(dumps.ptr(), args.ptr(), kwargs.ptr()));
}

bool matches_json_decode_error(const nb::python_error &e) {
    PyObject *json = PyDict_GetItemWithError(state.module_dict.ptr(), names.json.ptr());
    if (json == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject *cls = nullptr;
    if (PyObject_GetOptionalAttr(json, names.JSONDecodeError.ptr(), &cls) <= 0) {
        PyErr_Clear();
        return false;
    }
    object c = nb::steal(cls);
    return e.matches(c);
}

/// Write failures are logged, not raised: the change the caller made stands
/// in memory and the previous file stays as it was.
void log_save_error(const nb::python_error &e) {
    call_method(global(names.logger), names.error, interned("Error saving tokens: %s"), e.value());
}

/// Open `path` with the builtin `open` and run `body` on the file, closing
/// it afterwards whatever happens (as a `with` block does).
template <typename Body>
object with_open(handle path, std::initializer_list<handle> mode_args, handle encoding, Body body) {
    object builtins = steal_or_raise(PyImport_ImportModule("builtins"));
    object open = get_attr(builtins, names.open);
    object args = steal_or_raise(PyTuple_New(static_cast<Py_ssize_t>(1 + mode_args.size())));
    PyTuple_SET_ITEM(args.ptr(), 0, nb::borrow(path).release().ptr());
    Py_ssize_t i = 1;
    for (handle a : mode_args) PyTuple_SET_ITEM(args.ptr(), i++, nb::borrow(a).release().ptr());
    object kwargs = steal_or_raise(PyDict_New());
    if (encoding.is_valid()) check(PyDict_SetItem(kwargs.ptr(), names.encoding.ptr(), encoding.ptr()));
    object f = steal_or_raise(PyObject_Call(open.ptr(), args.ptr(), kwargs.ptr()));
    object result;
    try {
        result = body(f);
    } catch (...) {
        try {
            call_method(f, names.close);
        } catch (nb::python_error &) {
            // The first failure is the one reported.
        }
        throw;
    }
    call_method(f, names.close);
    return result;
}

/// The text buffer of a save. Each thread keeps one between saves, so that
/// a save of a large registry does not fault in fresh memory every time; a
/// save started while the thread's buffer is in use (from Python code run
/// by the writer) gets a buffer of its own.
class SaveBuffer {
public:
    SaveBuffer() : shared_(!busy_) {
        if (shared_) busy_ = true;
    }
    ~SaveBuffer() {
        if (!shared_) return;
        kept_.trim();  // gives memory back after a registry shrank a lot
        kept_.clear();
        busy_ = false;
    }
    SaveBuffer(const SaveBuffer &) = delete;
    SaveBuffer &operator=(const SaveBuffer &) = delete;
    ByteBuffer &get() { return shared_ ? kept_ : own_; }

private:
    static thread_local ByteBuffer kept_;
    static thread_local bool busy_;
    bool shared_;
    ByteBuffer own_;
};

thread_local ByteBuffer SaveBuffer::kept_;
thread_local bool SaveBuffer::busy_ = false;

}  // namespace

void save_tokens(handle self, bool durable) {
    bool encoding_step = false;
    try {
        object tokens = get_attr(self, names.tokens);
        SaveBuffer buffer;
        ByteBuffer &text = buffer.get();
        text.clear();
        bool native = native_writer_allowed() && write_token_file_json(tokens, state.token_type, text);
        object content;  // the text as a str, when one is needed
        if (!native) {
            text.clear();
            content = render_with_json(tokens);
        }
        object encryptor = get_attr(self, names._encryptor);
        object payload;  // what is written when it is not `text`
        encoding_step = true;
        if (encryptor.is_none()) {
            if (!native) {
                if (!PyUnicode_Check(content.ptr()))
                    raise_format(PyExc_TypeError, "write() argument must be str, not %.100s", tp_name_of(content));
                // A lone surrogate has no UTF-8 form: the save fails like any
                // other unwritable content and the file keeps what it had.
                payload = steal_or_raise(PyUnicode_AsUTF8String(content.ptr()));
            }
        } else {
            if (native)
                content = steal_or_raise(
                    PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
            payload = call_method(encryptor, names.encrypt_text, content);
        }
        encoding_step = false;

        Py_buffer view{};
        const char *data = text.data();
        size_t size = text.size();
        if (payload.is_valid()) {
            if (PyObject_GetBuffer(payload.ptr(), &view, PyBUF_SIMPLE) != 0) {
                PyErr_Clear();
                raise_format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'", tp_name_of(payload));
            }
            data = static_cast<const char *>(view.buf);
            size = static_cast<size_t>(view.len);
        }
        struct ViewGuard {
            Py_buffer *v;
            ~ViewGuard() {
                if (v->obj != nullptr) PyBuffer_Release(v);
            }
        } guard{&view};

        object tokens_file = get_attr(self, names.tokens_file);
        FsPath path = fs_path(tokens_file);
        Location loc;
        {
            nb::gil_scoped_release unlocked;
            loc = locate(path.bytes);
        }

        // A file that could not be parsed at load is kept beside the new one
        // before it is replaced, so an unreadable file is never lost silently.
        PyObject *pending = nullptr;
        if (PyObject_GetOptionalAttr(self.ptr(), names._keep_unreadable_copy.ptr(), &pending) < 0) raise_pending();
        if (pending != nullptr && truthy(object(nb::steal(pending)))) {
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
                object copy_text = steal_or_raise(
                    PyUnicode_DecodeFSDefaultAndSize(copy.data(), static_cast<Py_ssize_t>(copy.size())));
                call_method(global(names.logger), names.warning,
                            interned("Kept the unreadable token file as %s before replacing it"), copy_text);
            }
            check(PyObject_DelAttr(self.ptr(), names._keep_unreadable_copy.ptr()));
        }

        int err;
        {
            nb::gil_scoped_release unlocked;
            err = replace_file(loc, data, size, durable);
        }
        if (err != 0) raise_os_error(err, path.text);

        object os = global(names.os);
        object os_name = get_attr(os, names.name);
        static handle nt = interned("nt");
        if (check(PyObject_RichCompareBool(os_name.ptr(), nt.ptr(), Py_NE)))
            call_method(os, names.chmod, tokens_file, names.mode_600);
    } catch (nb::python_error &e) {
        if (!(e.matches(PyExc_OSError) || e.matches(PyExc_TypeError) || matches_json_decode_error(e) ||
              (encoding_step && e.matches(PyExc_UnicodeEncodeError))))
            throw;
        log_save_error(e);
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
            object raw = with_open(path, {names.rb}, handle(), [](handle f) { return call_method(f, names.read); });
            object content;
            if (truthy(call_method(global(names.FileEncryptor), names.is_encrypted, raw)))
                content = call_method(encryptor, names.decrypt_text, raw);
            else
                content = call_method(raw, names.decode, names.utf_8);
            data = call_method(global(names.json), names.loads, content);
        } else {
            data = with_open(path, {names.r}, names.utf_8,
                             [](handle f) { return call_method(global(names.json), names.load, f); });
        }
        // Keyed by the member name in the file, not the record's token_id.
        object tokens = steal_or_raise(PyDict_New());
        object items = call_method(data, names.items);
        object it = steal_or_raise(PyObject_GetIter(items.ptr()));
        while (PyObject *item = PyIter_Next(it.ptr())) {
            object pair = nb::steal(item);
            object key = steal_or_raise(PySequence_GetItem(pair.ptr(), 0));
            object value = steal_or_raise(PySequence_GetItem(pair.ptr(), 1));
            object token = call_method(global(names.Token), names.from_dict, value);
            check(PyObject_SetItem(tokens.ptr(), key.ptr(), token.ptr()));
        }
        if (PyErr_Occurred()) raise_pending();
        set_attr(self, names.tokens, tokens);
    } catch (nb::python_error &e) {
        if (!matches_json_decode_error(e)) throw;
        call_method(global(names.logger), names.warning, interned("Error loading tokens: %s"), e.value());
        set_attr(self, names.tokens, steal_or_raise(PyDict_New()));
        set_attr(self, names._keep_unreadable_copy, handle(Py_True));
    }
}

object KeyRegistry_init(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("__init__", true, {opt("tokens_file"), opt("encryption_key")});
    Args a = parse_args(sig, args, nargs, kwnames);
    handle tokens_file = a.get(0, interned("vesperkit_tokens.json"));
    handle encryption_key = a.or_none(1);
    require_exact_str(tokens_file, "tokens_file");
    require_exact_str_or_none(encryption_key, "encryption_key");

    object checked = call(global(names.validate_file_path), tokens_file);
    set_attr(self, names.tokens_file, call(global(names.Path), checked));
    set_attr(self, names.tokens, steal_or_raise(PyDict_New()));
    set_attr(self, names._encryptor, handle(Py_None));
    // An empty key means no encryption; the environment is not consulted then.
    if (truthy(encryption_key)) {
        object kwnames_t = steal_or_raise(PyTuple_Pack(1, names.key.ptr()));
        PyObject *argv[] = {nullptr, encryption_key.ptr()};
        object encryptor = steal_or_raise(PyObject_Vectorcall(
            global(names.FileEncryptor).ptr(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_t.ptr()));
        set_attr(self, names._encryptor, encryptor);
    }
    call_method(self, names._load_tokens);
    return nb::none();
}

object KeyRegistry_load_tokens(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("_load_tokens", true, {});
    parse_args(sig, args, nargs, kwnames);
    load_tokens(self);
    return nb::none();
}

object KeyRegistry_save_tokens(handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const Signature sig("_save_tokens", true, {});
    parse_args(sig, args, nargs, kwnames);
    save_tokens(self, true);
    return nb::none();
}

}  // namespace vk::keys
