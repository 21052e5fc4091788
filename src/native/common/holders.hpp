// Owners of what CPython and the system hand out to be given back: a buffer
// export and a file descriptor, released on every path, error paths included.
#pragma once

#include "common/errors.hpp"

#include <cerrno>
#include <unistd.h>

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

/// An open file descriptor, closed on destruction unless given away.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    /// Close now: 0, or the errno of a failed close (the descriptor is gone
    /// either way).
    int close() {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace vk
