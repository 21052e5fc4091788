// The token file text, written natively.
//
// Every successful validation rewrites the whole token file, so rendering it
// is the hot path. The writer renders exactly what
// `json.dumps(value, indent=2, ensure_ascii=False).encode("utf-8")` gives,
// for the value types a token file holds: str, int, float, bool, None, list
// and dict with str keys, each of exactly that type. Anything else (a
// subclass, another key type, an unknown object, a str that UTF-8 cannot
// encode, nesting deep enough to be a cycle) makes it give up, and the caller
// goes through the json module, whose output and errors are then the result.
#pragma once

#include "common/py.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

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
    size_t capacity() const { return capacity_; }
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
        if (capacity_ > (size_t{1} << 20) && capacity_ > 4 * size_) {
            std::free(data_);
            data_ = nullptr;
            size_ = capacity_ = 0;
        }
    }

private:
    void grow(size_t n) {
        size_t want = size_ + n;
        size_t cap = capacity_ * 2 > want ? capacity_ * 2 : want;
        if (cap < 4096) cap = 4096;
        void *p = std::realloc(data_, cap);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char *>(p);
        capacity_ = cap;
    }

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

/// Render the token file of `tokens` (`{key: token.to_dict()}` for a dict of
/// exact `Token` objects) into `out`, as UTF-8. Returns false, with no Python
/// error pending, when the json module has to do it; `out` is then garbage.
bool write_token_file_json(handle tokens, handle token_type, ByteBuffer &out);

}  // namespace vk::keys
