// The token file text, written natively.
//
// Every successful validation rewrites the whole token file, so rendering it
// is the hot path. The writer renders exactly what
// `json.dumps(value, indent=2, ensure_ascii=False).encode("utf-8")` gives,
// for the value types a token file holds: str, int, float, bool, None, list
// and dict with str keys, each of exactly that type. Anything else (a
// subclass, another key type, an unknown object, a str that UTF-8 cannot
// encode, nesting deep enough to be a cycle) makes it give up, and the caller
// goes through the json module for that token, whose output and errors are
// then the result. The same writer checks metadata and permissions before a
// token takes them.
#pragma once

#include "common/py.hpp"
#include "key_registry/registry.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <array>
#include <new>
#include <string_view>
#include <vector>

namespace vk::keys {

/// A growable byte buffer written through a cursor: room is made once for a
/// whole piece, then bytes are stored without further checks.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer() { std::free(data_); }

    const char *data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }

    /// Room for `n` more bytes; returns where they go. `commit` them after.
    char *room(size_t n) {
        if (n > capacity_ - size_) grow(n);
        return data_ + size_;
    }
    void commit(char *end) { size_ = static_cast<size_t>(end - data_); }

    void append(const char *s, size_t n) {
        std::memcpy(room(n), s, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void push(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
    }

    /// Free the memory when it is far more than the last content needed.
    void trim() {
        if (capacity_ > KEEP_AT_MOST && capacity_ > 4 * size_) {
            std::free(data_);
            data_ = nullptr;
            size_ = capacity_ = 0;
        }
    }

private:
    static constexpr size_t MIN_CAPACITY = 4096;
    static constexpr size_t KEEP_AT_MOST = size_t{1} << 20;

    void grow(size_t n) {
        size_t want = size_ + n;
        size_t cap = capacity_ * 2 > want ? capacity_ * 2 : want;
        if (cap < MIN_CAPACITY) cap = MIN_CAPACITY;
        void *p = std::realloc(data_, cap);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char *>(p);
        capacity_ = cap;
    }

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

/// The scratch buffer members are rendered in. Each thread keeps one between
/// saves; a render started while it is in use (from Python code the first
/// one ran) gets one of its own.
class ScratchBuffer {
public:
    ScratchBuffer() : shared_(!busy_) {
        if (shared_) busy_ = true;
    }
    ~ScratchBuffer() {
        if (!shared_) return;
        kept_.trim();  // gives memory back after a very large member
        kept_.clear();
        busy_ = false;
    }
    ScratchBuffer(const ScratchBuffer &) = delete;
    ScratchBuffer &operator=(const ScratchBuffer &) = delete;
    ByteBuffer &get() { return shared_ ? kept_ : own_; }

private:
    static thread_local ByteBuffer kept_;
    static thread_local bool busy_;
    bool shared_;
    ByteBuffer own_;
};

/// The objects a member's text was rendered from, in the order the writer
/// met them, kept alive so that finding the same address again proves the
/// same object. `marks` is what a check reads: each object's address, with
/// the low bit set for a list or dict, whose length when it was read comes
/// next (its items follow). `held` owns the references.
struct Trail {
    std::vector<uintptr_t> marks;
    std::vector<object> held;

    void record(PyObject *obj, Py_ssize_t container_size) {
        held.push_back(nb::borrow(obj));
        marks.push_back(reinterpret_cast<uintptr_t>(obj) | (container_size >= 0 ? 1U : 0U));
        if (container_size >= 0) marks.push_back(static_cast<uintptr_t>(container_size));
    }
    void clear() {
        marks.clear();
        held.clear();
    }
};

/// The objects `to_dict` reads from one token: its ten members, then the
/// request window, which `asdict` copies too. They are borrowed from the
/// token's instance dict or its class, so they stay valid only until Python
/// code runs.
struct TokenFields {
    static constexpr size_t COUNT = TOKEN_FIELD_COUNT;
    static constexpr size_t HASHED_KEY = token_field("hashed_key");
    static constexpr size_t WINDOW = token_field("_request_timestamps");
    handle value[COUNT];
};

/// Whether every token of `token_type` has its fields plainly in its instance
/// dict (or as class defaults): the class reads attributes the standard way
/// and holds no descriptor that would take over a field. Reading them then
/// runs no Python code.
bool plain_fields(handle token_type);

/// Read the first `count` fields of `token` without running Python code;
/// `plain` is `plain_fields` of its type. False, with no Python error
/// pending, when that cannot be done (the json path or a look-up through
/// Python then says why).
bool read_fields(handle token, bool plain, TokenFields &fields, size_t count = TokenFields::COUNT);

/// Whether the request window is one `asdict` can copy without running code.
bool plain_window(handle window);

/// Append `,\n  "key": {...}`, one member of the token file, to `out`, and
/// the objects it was rendered from to `seen` when given. False, with no
/// Python error pending, when the json module has to do it (`out` is then
/// garbage). `reusable` is cleared when the text depends on more than those
/// objects (a big int, whose text depends on the digit limit).
bool write_member(handle key, const TokenFields &fields, ByteBuffer &out, Trail *seen,
                  bool &reusable);

/// `"token_id": `, `"name": `... : the label of each of the ten members of a
/// token's object, in order, made from the field table.
extern const std::array<std::string_view, TokenFields::WINDOW> FIELD_LABELS;

/// Append the text of `value` as the value of one of a token's members.
/// False, with no Python error pending, when the json module has to do it
/// (`out` then holds garbage after its previous content).
bool write_field(handle value, ByteBuffer &out);

/// Whether `fields` are still exactly the objects `write_member` recorded in
/// `seen`, down to the items of every list and dict: then it would write the
/// same text again. Runs no Python code.
bool same_objects(const TokenFields &fields, const Trail &seen);

/// Whether rendering failed because the value cannot be written at all: what
/// `json.dumps` raises for such a value (TypeError, ValueError, including a
/// cycle, and RecursionError), or the UTF-8 encoder's error.
bool is_unstorable_error(const nb::python_error &e);

/// `error`, an unstorable error, as a new exception of its kind (TypeError,
/// RecursionError, else ValueError) saying "<what> cannot be stored: <error>".
object cannot_be_stored(handle what, handle error);

/// Refuse `value`, the argument `arg` about to be stored in a token, when the
/// token file cannot hold it: the error `json.dumps(value, indent=2,
/// ensure_ascii=False)` raises, as `cannot_be_stored` of "Argument '<arg>'".
/// Checked by the writer's own rules, so the check and the save agree; the
/// json module only runs for what the writer leaves to it. When `merged_into`
/// is given, `value`'s items are about to be merged into that dict, so
/// reaching it from them is a cycle too.
void require_storable(handle value, const char *arg, handle merged_into);

}  // namespace vk::keys
