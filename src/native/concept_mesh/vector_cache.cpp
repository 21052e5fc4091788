#include "concept_mesh/vector_cache.hpp"

#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "concept_mesh/mesh.hpp"

#include <cmath>
#include <memory>
#include <unordered_map>

namespace vk::mesh {

KeptVector &KeptVector::operator=(KeptVector &&other) noexcept {
    if (this != &other) {
        release();
        list_ = other.list_;
        base_ = other.base_;
        components_ = std::move(other.components_);
        other.components_.clear();
        norm_ = other.norm_;
        seen = other.seen;
    }
    return *this;
}

void KeptVector::release() {
    // Only floats are held: dropping them runs no Python code.
    for (const KeptComponent &c : components_)
        Py_DECREF(reinterpret_cast<PyObject *>(base_ + static_cast<std::uintptr_t>(c.offset)));
    components_.clear();
}

bool KeptVector::refill(PyObject *list) {
    release();
    list_ = list;
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
    if (n == 0) return false;
    base_ = reinterpret_cast<std::uintptr_t>(items[0]);
    double squares = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        auto offset = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(items[k]) - base_);
        if (!PyFloat_CheckExact(items[k]) || offset != static_cast<std::int32_t>(offset)) return false;
        double v = PyFloat_AS_DOUBLE(items[k]);
        squares += v * v;  // overflows to inf (or is NaN) for values the screen does not take
    }
    double norm = std::sqrt(squares);
    if (!(norm >= SCREEN_MIN_NORM && norm <= SCREEN_MAX_NORM)) return false;
    components_.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        Py_INCREF(items[k]);
        components_.push_back(KeptComponent{
            static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(items[k]) - base_),
            static_cast<float>(PyFloat_AS_DOUBLE(items[k]))});
    }
    norm_ = norm;
    return true;
}

bool KeptVector::dot(PyObject *list, const double *x, double &result) const {
    auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    if (n != components_.size()) return false;
    return kept_dot(reinterpret_cast<const void *const *>(reinterpret_cast<PyListObject *>(list)->ob_item), base_,
                    components_.data(), x, n, result);
}

bool VectorCache::dot(PyObject *list, const double *x, std::size_t width, double &result, double &norm) {
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != width) return false;
    const std::uint32_t *found = index_.find(list);
    auto at = found != nullptr ? *found : static_cast<std::uint32_t>(kept_.size());
    if (found == nullptr) {
        index_.put(list, at);
        kept_.emplace_back();
    }
    KeptVector &kept = kept_[at];
    if (!kept.dot(list, x, result) && !(kept.refill(list) && kept.dot(list, x, result))) return false;
    if (kept.seen != pass_) ++seen_in_pass_;
    kept.seen = pass_;
    norm = kept.norm();
    return true;
}

void VectorCache::finish_pass() {
    std::size_t seen = seen_in_pass_;
    seen_in_pass_ = 0;
    if (seen == kept_.size()) return;
    // Copies of lists no longer met (and lists the screen does not take) go;
    // the index is made again for the ones that stay.
    std::erase_if(kept_, [this](const KeptVector &kept) { return kept.seen != pass_; });
    index_ = PointerTable<std::uint32_t>(kept_.size());
    for (std::size_t k = 0; k < kept_.size(); ++k) index_.put(kept_[k].list(), static_cast<std::uint32_t>(k));
}

void VectorCache::prefetch_record(const PyObject *list) const {
    if (const std::uint32_t *at = index_.find(list)) prefetch(&kept_[*at]);
}

void VectorCache::prefetch_components(const PyObject *list) const {
    if (const std::uint32_t *at = index_.find(list)) prefetch_range(kept_[*at].components(), 4 * CACHE_LINE);
}

namespace {

/// The caches by mesh address, each with the weak reference whose callback
/// drops it. Never destroyed: it may hold references when the process exits.
struct Caches {
    struct Held {
        object weakref;
        std::unique_ptr<VectorCache> cache;
    };
    std::unordered_map<const void *, Held> by_mesh;
};

Caches &caches() {
    static auto *all = new Caches;
    return *all;
}

object mesh_collected(handle, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    if (nargs == 1)
        std::erase_if(caches().by_mesh, [&](const auto &entry) { return entry.second.weakref.ptr() == args[0]; });
    return nb::none();
}

PyMethodDef collected_def = raw_method_def<mesh_collected>("_mesh_collected", "Drops a collected mesh's vector copies.");

}  // namespace

VectorCache *vector_cache(handle self) {
    auto &by_mesh = caches().by_mesh;
    auto it = by_mesh.find(self.ptr());
    if (it != by_mesh.end()) return it->second.cache.get();
    static handle callback = new_function(&collected_def, state.module_name).release();
    PyObject *ref = PyWeakref_NewRef(self.ptr(), callback.ptr());
    if (ref == nullptr) {  // an object that takes no weak references keeps no copies
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
        PyErr_Clear();
        return nullptr;
    }
    auto &held = by_mesh[self.ptr()];
    held.weakref = nb::steal(ref);
    held.cache = std::make_unique<VectorCache>();
    return held.cache.get();
}

void drop_vector_cache(handle self) { caches().by_mesh.erase(self.ptr()); }

}  // namespace vk::mesh
