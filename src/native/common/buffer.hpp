// The owner of a buffer export of a Python object, released on every path,
// error paths included.
#pragma once

#include "common/errors.hpp"


namespace vk {

/// A held buffer export of a Python object, released on destruction.
class Buffer {
public:
    Buffer() = default;
    /// The export of `obj`, raising the exporter's error.
    Buffer(handle obj, int flags) { acquire(obj, flags); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { release(); }

    void acquire(handle obj, int flags) {
        if (!try_acquire(obj, flags)) raise_pending();
    }
    /// False, with the exporter's error pending, when `obj` exports nothing.
    bool try_acquire(handle obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer &view() const { return view_; }
    double *doubles() const { return static_cast<double *>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vk
