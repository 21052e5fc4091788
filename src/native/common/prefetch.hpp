// Prefetch hints: asking for the cache lines a loop will read a few steps
// ahead, so that memory latency overlaps the work on the current item.
// Addresses only; nothing is read through them.
#pragma once

#include "common/py.hpp"

#include <cstddef>
#include <cstdint>

namespace vk {

/// Bytes in a cache line, the unit of the prefetch hints.
inline constexpr std::uintptr_t CACHE_LINE = 64;

/// Bytes in front of an instance of a plain class (a garbage-collected object
/// with a managed dict and weak references): the collector's header and the
/// dict and weak-reference pointers.
inline constexpr std::size_t INSTANCE_PREHEADER = 4 * sizeof(void *);

/// Asks for the cache line holding `p` ahead of its use.
inline void prefetch(const void *p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

/// Asks for every cache line of the `bytes` bytes from `p`.
inline void prefetch_range(const void *p, std::size_t bytes) {
    auto first = reinterpret_cast<std::uintptr_t>(p);
    for (std::uintptr_t line = first & ~(CACHE_LINE - 1); line < first + bytes; line += CACHE_LINE)
        prefetch(reinterpret_cast<const void *>(line));
}

/// Asks for an instance of a plain class: the header in front of it (where
/// its dict pointer lives) and its first `bytes` bytes.
inline void prefetch_instance(const void *obj, std::size_t bytes) {
    prefetch_range(static_cast<const char *>(obj) - INSTANCE_PREHEADER, INSTANCE_PREHEADER + bytes);
}

/// Asks for the first `bytes` bytes of an exact dict's key table, where its
/// entries (keys and values) live.
inline void prefetch_dict_entries(PyObject *dict, std::size_t bytes) {
    prefetch_range(reinterpret_cast<PyDictObject *>(dict)->ma_keys, bytes);
}

}  // namespace vk
