// The owner of an open file descriptor, closed on every path, error paths
// included. No Python here: the file code runs without the interpreter.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace vk {

/// An open file descriptor, closed on destruction (or by `close`).
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
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
