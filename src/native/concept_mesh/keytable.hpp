// Small hash tables keyed by Python objects, for the graph walks that would
// otherwise go through a Python dict per step, and a prefetch hint for them.
#pragma once

#include "common/py.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vk::mesh {

/// Asks for the cache line holding `p` ahead of its use.
inline void prefetch(const void *p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

/// Maps Python objects to dense indices 0, 1, 2... with dict semantics (hash,
/// then identity or `==`), so two equal session ids that are different string
/// objects are one key. Holds a reference to every key it stores: comparing
/// keys of foreign types may run Python code, which could otherwise free them.
class KeyTable {
public:
    explicit KeyTable(std::size_t expected = 16) : by_address_(capacity_for(expected)) {
        rehash(capacity_for(expected));
    }

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
        std::size_t pmask = by_address_.size() - 1;
        std::size_t pi = mix(key.ptr()) & pmask;
        for (;; pi = (pi + 1) & pmask) {
            const AddressSlot &s = by_address_[pi];
            if (s.ptr == key.ptr()) {
                inserted = false;
                return s.index;
            }
            if (s.ptr == nullptr) break;
        }
        std::int32_t index = intern_by_value(key, inserted);
        // The address stays valid: the object is held, as the key itself or
        // as one more object equal to it.
        if (!inserted) also_held_.push_back(nb::borrow(key));
        by_address_[pi] = AddressSlot{key.ptr(), index};
        if (++addresses_ * 2 > by_address_.size()) grow_addresses();
        return index;
    }

    /// Index of the very object `p` when it was interned before, or -1;
    /// never reads the object.
    std::int32_t find_address(const void *p) const {
        std::size_t mask = by_address_.size() - 1;
        for (std::size_t i = mix(p) & mask;; i = (i + 1) & mask) {
            const AddressSlot &s = by_address_[i];
            if (s.ptr == p) return s.index;
            if (s.ptr == nullptr) return -1;
        }
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
    struct AddressSlot {
        const void *ptr = nullptr;
        std::int32_t index = -1;
    };

    static std::size_t mix(const void *p) {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }

    void grow_addresses() {
        std::vector<AddressSlot> old(by_address_.size() * 2);
        old.swap(by_address_);
        std::size_t mask = by_address_.size() - 1;
        for (const AddressSlot &s : old) {
            if (s.ptr == nullptr) continue;
            std::size_t i = mix(s.ptr) & mask;
            while (by_address_[i].ptr != nullptr) i = (i + 1) & mask;
            by_address_[i] = s;
        }
    }

    static std::size_t capacity_for(std::size_t n) {
        std::size_t c = 16;
        while (c < n * 2) c <<= 1;
        return c;
    }

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
    std::vector<AddressSlot> by_address_;
    std::size_t addresses_ = 0;
    std::vector<object> also_held_;
};

/// Maps object identities (pointers) to an int32 value; a lookup never runs
/// Python code. Used as a cache in front of an equality-based lookup: the
/// objects whose pointers are stored must be kept alive by the caller.
class PointerMap {
public:
    explicit PointerMap(std::size_t expected) {
        std::size_t c = 16;
        while (c < expected * 2) c <<= 1;
        slots_.assign(c, Slot{});
    }

    void put(const void *p, std::int32_t value) {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = mix(p) & mask;; i = (i + 1) & mask) {
            if (slots_[i].ptr == nullptr || slots_[i].ptr == p) {
                slots_[i] = Slot{p, value};
                return;
            }
        }
    }

    /// Whether `p` is stored; its value in `value`.
    bool get(const void *p, std::int32_t &value) const {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = mix(p) & mask;; i = (i + 1) & mask) {
            if (slots_[i].ptr == p) {
                value = slots_[i].value;
                return true;
            }
            if (slots_[i].ptr == nullptr) return false;
        }
    }

private:
    struct Slot {
        const void *ptr = nullptr;
        std::int32_t value = 0;
    };

    static std::size_t mix(const void *p) {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }

    std::vector<Slot> slots_;
};

/// A growing set of object identities; a query never runs Python code.
class PointerSet {
public:
    explicit PointerSet(std::size_t expected) : slots_(capacity_for(expected), nullptr) {}

    bool contains(const void *p) const {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = mix(p) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == p) return true;
            if (slots_[i] == nullptr) return false;
        }
    }

    void insert(const void *p) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        if (place(slots_, p)) ++count_;
    }

    void clear() {
        std::fill(slots_.begin(), slots_.end(), nullptr);
        count_ = 0;
    }

private:
    static std::size_t capacity_for(std::size_t n) {
        std::size_t c = 16;
        while (c < n * 2) c <<= 1;
        return c;
    }

    static std::size_t mix(const void *p) {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x);
    }

    static bool place(std::vector<const void *> &slots, const void *p) {
        std::size_t mask = slots.size() - 1;
        for (std::size_t i = mix(p) & mask;; i = (i + 1) & mask) {
            if (slots[i] == p) return false;
            if (slots[i] == nullptr) {
                slots[i] = p;
                return true;
            }
        }
    }

    void grow() {
        std::vector<const void *> bigger(slots_.size() * 2, nullptr);
        for (const void *p : slots_)
            if (p != nullptr) place(bigger, p);
        slots_.swap(bigger);
    }

    std::vector<const void *> slots_;
    std::size_t count_ = 0;
};

}  // namespace vk::mesh
