// Small hash tables keyed by Python objects, for the graph walks that would
// otherwise go through a Python dict per step.
#pragma once

#include "common/prefetch.hpp"

#include <cstdint>
#include <vector>

namespace vk::mesh {

/// Slots for `n` entries at most half full: a power of two, at least 16.
inline std::size_t table_capacity(std::size_t n) {
    std::size_t c = 16;
    while (c < n * 2) c <<= 1;
    return c;
}

/// A value type that takes no room: a PointerTable of it is a set.
struct NoValue {};

/// Maps object addresses to values with open addressing. A look-up compares
/// addresses only and never reads the object, so it runs no Python code; the
/// caller keeps the objects alive while their addresses are stored (a freed
/// object's address may be reused by another). Grows past half full.
template <typename Value>
class PointerTable {
public:
    explicit PointerTable(std::size_t expected = 8) : slots_(table_capacity(expected)) {}

    /// The value stored for `p`, or null.
    const Value *find(const void *p) const {
        const Slot &s = slots_[probe(slots_, p)];
        return s.ptr == p ? &s.value : nullptr;
    }
    bool contains(const void *p) const { return find(p) != nullptr; }

    /// Stores `value` for `p`, replacing a value stored before.
    void put(const void *p, Value value) {
        Slot &s = slots_[probe(slots_, p)];
        if (s.ptr == nullptr) {
            s.ptr = p;
            s.value = value;
            if (++count_ * 2 > slots_.size()) grow();
        } else {
            s.value = value;
        }
    }

    /// Where a look-up of `p` starts, for a prefetch hint.
    const void *home_of(const void *p) const { return &slots_[mix(p) & (slots_.size() - 1)]; }

    void clear() {
        slots_.assign(slots_.size(), Slot{});
        count_ = 0;
    }

private:
    struct Slot {
        const void *ptr = nullptr;
        [[no_unique_address]] Value value{};
    };

    static std::size_t mix(const void *p) {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }

    /// The slot holding `p`, or the empty slot where it would go.
    static std::size_t probe(const std::vector<Slot> &slots, const void *p) {
        std::size_t mask = slots.size() - 1;
        std::size_t i = mix(p) & mask;
        while (slots[i].ptr != p && slots[i].ptr != nullptr) i = (i + 1) & mask;
        return i;
    }

    void grow() {
        std::vector<Slot> bigger(slots_.size() * 2);
        for (const Slot &s : slots_)
            if (s.ptr != nullptr) bigger[probe(bigger, s.ptr)] = s;
        slots_.swap(bigger);
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

using PointerSet = PointerTable<NoValue>;

/// Maps Python objects to dense indices 0, 1, 2... with dict semantics (hash,
/// then identity or `==`), so two equal session ids that are different string
/// objects are one key. Holds a reference to every key it stores: comparing
/// keys of foreign types may run Python code, which could otherwise free them.
class KeyTable {
public:
    explicit KeyTable(std::size_t expected = 16) : by_address_(expected) { rehash(table_capacity(expected)); }

    /// Index of `key`, or -1.
    std::int32_t find(handle key) const {
        Py_hash_t h = hash_of(key);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
            const Slot &s = slots_[i];
            if (s.index < 0) return -1;
            if (s.hash == h && equal(keys_[static_cast<std::size_t>(s.index)], key)) return s.index;
        }
    }

    /// Index of `key`, inserting it with the next index when absent; `inserted`
    /// tells which happened. An object met before is found by its address
    /// alone, without reading it.
    std::int32_t intern(handle key, bool &inserted) {
        if (const std::int32_t *known = by_address_.find(key.ptr())) {
            inserted = false;
            return *known;
        }
        std::int32_t index = intern_by_value(key, inserted);
        // The address stays valid: the object is held, as the key itself or
        // as one more object equal to it.
        if (!inserted) also_held_.push_back(nb::borrow(key));
        by_address_.put(key.ptr(), index);
        return index;
    }

    /// Index of the very object `p` when it was interned before, or -1;
    /// never reads the object.
    std::int32_t find_address(const void *p) const {
        const std::int32_t *known = by_address_.find(p);
        return known != nullptr ? *known : -1;
    }

    /// `intern` by hash and equality.
    std::int32_t intern_by_value(handle key, bool &inserted) {
        Py_hash_t h = hash_of(key);
        std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(h) & mask;
        for (;; i = (i + 1) & mask) {
            const Slot &s = slots_[i];
            if (s.index < 0) break;
            if (s.hash == h && equal(keys_[static_cast<std::size_t>(s.index)], key)) {
                inserted = false;
                return s.index;
            }
        }
        inserted = true;
        auto index = static_cast<std::int32_t>(keys_.size());
        keys_.push_back(nb::borrow(key));
        slots_[i] = Slot{h, index};
        if (keys_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
        return index;
    }

    handle key(std::int32_t index) const { return keys_[static_cast<std::size_t>(index)]; }
    std::size_t size() const { return keys_.size(); }

private:
    struct Slot {
        Py_hash_t hash = 0;
        std::int32_t index = -1;
    };
    static Py_hash_t hash_of(handle key) {
        Py_hash_t h = PyObject_Hash(key.ptr());
        if (h == -1 && PyErr_Occurred()) raise_pending();
        return h;
    }

    static bool equal(handle stored, handle key) {
        if (stored.ptr() == key.ptr()) return true;
        if (PyUnicode_CheckExact(stored.ptr()) && PyUnicode_CheckExact(key.ptr()))
            return PyUnicode_Compare(stored.ptr(), key.ptr()) == 0;
        int eq = PyObject_RichCompareBool(stored.ptr(), key.ptr(), Py_EQ);
        if (eq < 0) raise_pending();
        return eq == 1;
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(capacity, Slot{});
        std::size_t mask = capacity - 1;
        for (const Slot &s : old) {
            if (s.index < 0) continue;
            std::size_t i = static_cast<std::size_t>(s.hash) & mask;
            while (slots_[i].index >= 0) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::vector<object> keys_;
    PointerTable<std::int32_t> by_address_;
    std::vector<object> also_held_;
};

}  // namespace vk::mesh
