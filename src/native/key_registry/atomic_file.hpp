// Replacing the token file on disk without ever exposing a partial one.
//
// A save writes the whole file to a new file in the same directory (created
// owner-only, so the hashes are never readable by others), flushes it to disk
// and renames it over the token file: a reader, or a crash at any moment,
// sees either the previous file or the new one, never a part of either.
//
// Nothing here touches Python: the functions run without the GIL and report
// an errno (0 = done).
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace vk::keys {

/// A run of bytes of the file's content, written in order with the others.
struct Piece {
    const char *data;
    size_t size;
};

struct Location {
    std::string path;    // the file actually replaced (a symlinked token file is followed)
    std::string dir;     // its directory, for syncing
    std::string prefix;  // directory part with its trailing slash, or empty
    std::string base;    // file name
};

/// Where a save of the file at `given` (file-system bytes) really goes.
Location locate(const std::string &given);

/// Put the concatenation of `pieces` in place of `loc.path`. `durable` also
/// waits until the file and the rename have reached the disk.
int replace_file(const Location &loc, std::span<const Piece> pieces, bool durable);

/// Copy the file at `loc.path` to `<path>.corrupt-<stamp>[-N]` (owner-only,
/// synced). `copy` stays empty when there is nothing to keep (no file, or an
/// empty one).
int keep_copy(const Location &loc, const std::string &stamp, std::string &copy);

}  // namespace vk::keys
