// Atomic replacement of the token file (see atomic_file.hpp).
#include "key_registry/atomic_file.hpp"

#include "common/file_descriptor.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vk::keys {

namespace {

constexpr mode_t OWNER_ONLY = 0600;
// Links followed before giving up, as the kernel's own resolution does.
constexpr int MAX_SYMLINK_HOPS = 40;
// Room for a link target whose length lstat does not report.
constexpr size_t UNSIZED_LINK_TARGET = 4096;
// Fresh names tried before reporting that none could be created.
constexpr int MAX_NAME_ATTEMPTS = 1000;
// Keeps the random part of a temporary name short; prime, so the mixed
// counter and clock spread over all of it.
constexpr unsigned long long TMP_SUFFIX_MODULUS = 1000000007ULL;
// Bytes read at a time when keeping a copy of an unreadable file.
constexpr size_t COPY_CHUNK = 65536;
#ifdef IOV_MAX
constexpr size_t MAX_IOV = IOV_MAX < 1024 ? IOV_MAX : 1024;
#else
constexpr size_t MAX_IOV = 16;  // the least POSIX allows
#endif

int write_all(int fd, std::span<const Piece> pieces) {
    std::vector<iovec> iov;
    iov.reserve(std::min(pieces.size(), MAX_IOV));
    size_t next = 0;      // first piece not yet handed to the kernel
    size_t skip = 0;      // bytes of pieces[next] already written
    while (next < pieces.size()) {
        iov.clear();
        for (size_t i = next; i < pieces.size() && iov.size() < MAX_IOV; ++i) {
            size_t off = i == next ? skip : 0;
            if (pieces[i].size > off)
                iov.push_back({const_cast<char *>(pieces[i].data) + off, pieces[i].size - off});
        }
        if (iov.empty()) break;
        ssize_t w = ::writev(fd, iov.data(), static_cast<int>(iov.size()));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Advance over what the kernel took; a short write resumes mid-piece.
        size_t done = static_cast<size_t>(w) + skip;
        skip = 0;
        while (next < pieces.size() && done >= pieces[next].size) done -= pieces[next++].size;
        skip = done;
    }
    return 0;
}

/// Flush `fd` to the disk itself, with the call that keeps that promise on
/// this platform: on macOS fsync stops at the drive's cache and F_FULLFSYNC
/// asks the drive too (some file systems refuse it; fsync is the best left).
int sync_fd(int fd) {
#if defined(__APPLE__) && defined(F_FULLFSYNC)
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
}

/// Make a rename in `dir` durable. File systems that cannot sync a directory
/// say so with an error; the rename itself has already happened then.
void sync_dir(const std::string &dir) {
    FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (fd.is_open()) (void)sync_fd(fd.get());
}

/// The target of the link at `path`, or false when it is not a link.
bool read_link(const std::string &path, std::string &target) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    target.assign((st.st_size > 0 ? static_cast<size_t>(st.st_size) : UNSIZED_LINK_TARGET) + 1, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return false;
    target.resize(static_cast<size_t>(n));
    return true;
}

/// A new owner-only file at a fresh name `<stem><suffix>`: O_EXCL and
/// O_NOFOLLOW, so nothing already there (a planted link) is ever written.
int create_new(const std::string &stem, std::string &name, FileDescriptor &fd, bool numbered) {
    static std::atomic<unsigned long long> counter{0};
    for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS; ++attempt) {
        if (numbered) {
            name = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        } else {
            unsigned long long n = counter.fetch_add(1) ^
                static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
            name = stem + std::to_string(::getpid()) + "-" + std::to_string(n % TMP_SUFFIX_MODULUS);
        }
        FileDescriptor created(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, OWNER_ONLY));
        if (created.is_open()) {
            // The umask may have taken bits away; the mode is exactly 0o600.
            if (::fchmod(created.get(), OWNER_ONLY) != 0) {
                int err = errno;
                created.close();
                ::unlink(name.c_str());
                return err;
            }
            fd = std::move(created);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

/// Write `pieces` to a fresh file beside `stem` and sync it; the name is left
/// in `name`. Nothing is left behind on failure.
int write_new(const std::string &stem, bool numbered, std::span<const Piece> pieces, bool durable,
              std::string &name) {
    FileDescriptor fd;
    int err = create_new(stem, name, fd, numbered);
    if (err != 0) return err;
    err = write_all(fd.get(), pieces);
    if (err == 0 && durable) err = sync_fd(fd.get());
    int closed = fd.close();
    if (err == 0) err = closed;
    if (err != 0) ::unlink(name.c_str());
    return err;
}

}  // namespace

Location locate(const std::string &given) {
    Location loc;
    loc.path = given;
    // A symlinked token file is written through its link (even a link whose
    // target does not exist yet): replacing the link itself would leave the
    // target behind, stale.
    std::string target;
    for (int hop = 0; hop < MAX_SYMLINK_HOPS && read_link(loc.path, target); ++hop) {
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

int replace_file(const Location &loc, std::span<const Piece> pieces, bool durable) {
    std::string tmp;
    int err = write_new(loc.prefix + "." + loc.base + ".tmp-", false, pieces, durable, tmp);
    if (err != 0) return err;
    if (::rename(tmp.c_str(), loc.path.c_str()) != 0) {
        err = errno;
        ::unlink(tmp.c_str());
        return err;
    }
    if (durable) sync_dir(loc.dir);
    return 0;
}

int keep_copy(const Location &loc, const std::string &stamp, std::string &copy) {
    FileDescriptor in(::open(loc.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.is_open()) return errno == ENOENT ? 0 : errno;
    std::string content;
    std::vector<char> buf(COPY_CHUNK);
    for (;;) {
        ssize_t r = ::read(in.get(), buf.data(), buf.size());
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (r == 0) break;
        content.append(buf.data(), static_cast<size_t>(r));
    }
    in.close();
    if (content.empty()) return 0;
    const Piece whole[] = {{content.data(), content.size()}};
    std::string name;
    int err = write_new(loc.path + ".corrupt-" + stamp, true, whole, true, name);
    if (err != 0) return err;
    sync_dir(loc.dir);
    copy = name;
    return 0;
}

}  // namespace vk::keys
