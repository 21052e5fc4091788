// The token file's text kept between saves (see token_text.hpp).
#include "key_registry/token_text.hpp"

#include "key_registry/registry.hpp"

#include <algorithm>
#include <unordered_map>

namespace vk::keys {

namespace {

constexpr std::string_view OPEN = "{";
constexpr std::string_view CLOSE = "\n}";
constexpr std::string_view EMPTY = "{}";

Piece piece(std::string_view s) { return {s.data(), s.size()}; }

}  // namespace

MemberText *TokenFileText::previous(size_t i, PyObject *key, PyObject *token) {
    // Between two saves the order rarely changes: try the same place first.
    if (i < members_.size() && members_[i].token == token && members_[i].key.ptr() == key) return &members_[i];
    if (index_.empty() && !members_.empty()) {
        index_.reserve(members_.size());
        for (size_t j = 0; j < members_.size(); ++j) index_.emplace_back(members_[j].token, j);
        std::sort(index_.begin(), index_.end());
    }
    auto it = std::lower_bound(index_.begin(), index_.end(), std::pair<const void *, size_t>(token, 0));
    for (; it != index_.end() && it->first == token; ++it) {
        MemberText &m = members_[it->second];
        // A member already taken was moved from; its key is empty.
        if (m.key.ptr() == key) return &m;
    }
    return nullptr;
}

bool TokenFileText::render_members(handle tokens, handle token_type, ByteBuffer &scratch,
                                   std::vector<MemberText> &next) {
    bool plain = plain_fields(token_type);
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    // Reading a plain token runs no Python code, so the dict cannot change
    // during this loop; the objects met stay alive through it.
    while (PyDict_Next(tokens.ptr(), &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || Py_TYPE(v) != reinterpret_cast<PyTypeObject *>(token_type.ptr()))
            return false;
        TokenFields fields;
        if (!read_fields(handle(v), plain, fields) || !plain_window(fields.value[TokenFields::WINDOW]))
            return false;
        MemberText *old = previous(next.size(), k, v);
        if (old != nullptr && old->reusable && same_objects(fields, old->seen)) {
            next.push_back(std::move(*old));
            continue;
        }
        MemberText m{nb::borrow(k), v, {}, {}, true};
        scratch.clear();
        if (!write_member(handle(k), fields, scratch, &m.seen, m.reusable)) return false;
        if (!m.reusable) m.seen.clear();
        m.text.assign(scratch.data(), scratch.size());
        next.push_back(std::move(m));
    }
    return true;
}

bool TokenFileText::render(handle tokens, handle token_type, ByteBuffer &scratch) {
    // Replaced members are let go only at the end: releasing a container may
    // run a finaliser, and that code must find this text whole.
    std::vector<MemberText> next;
    next.reserve(static_cast<size_t>(PyDict_GET_SIZE(tokens.ptr())));
    index_.clear();
    bool ok = render_members(tokens, token_type, scratch, next);
    index_.clear();
    members_.swap(next);
    pieces_.clear();
    if (!ok) {
        members_.clear();
        return false;
    }
    if (members_.empty()) {
        pieces_.push_back(piece(EMPTY));
        return true;
    }
    pieces_.reserve(members_.size() + 2);
    pieces_.push_back(piece(OPEN));
    for (const MemberText &m : members_) pieces_.push_back(piece(m.text));
    // The first member has no comma before it.
    pieces_[1].data += 1;
    pieces_[1].size -= 1;
    pieces_.push_back(piece(CLOSE));
    return true;
}

size_t TokenFileText::size() const {
    size_t n = 0;
    for (const Piece &p : pieces_) n += p.size;
    return n;
}

// ---------------------------------------------------------------------------
// The text of each registry, dropped when the registry is.

namespace {

struct Slot {
    object ref;  // weak reference to the registry, calling `drop_text` when it dies
    TokenFileText text;
    bool busy = false;
};

// Created once and never destroyed: it may hold objects when the interpreter
// finalises, and must not release them after that.
std::unordered_map<PyObject *, std::unique_ptr<Slot>> &slots() {
    static auto *table = new std::unordered_map<PyObject *, std::unique_ptr<Slot>>();
    return *table;
}

PyObject *drop_text(PyObject *, PyObject *ref) {
    auto &table = slots();
    for (auto it = table.begin(); it != table.end(); ++it) {
        if (it->second->ref.ptr() != ref) continue;
        // Out of the table first: releasing the text may run code that saves.
        std::unique_ptr<Slot> gone = std::move(it->second);
        table.erase(it);
        break;
    }
    Py_RETURN_NONE;
}

PyMethodDef drop_text_def = {"_drop_token_text", drop_text, METH_O, nullptr};

/// The slot of `registry`, made if needed; null when it cannot have one.
Slot *slot_of(handle registry) {
    auto &table = slots();
    auto it = table.find(registry.ptr());
    if (it != table.end()) {
        PyObject *alive = nullptr;
        check(PyWeakref_GetRef(it->second->ref.ptr(), &alive));
        object referent = nb::steal(alive);
        if (referent.ptr() == registry.ptr()) return it->second.get();
        // A registry that died without its callback, and another at its
        // address: the old text is not this one's.
        std::unique_ptr<Slot> gone = std::move(it->second);
        table.erase(it);
    }
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(registry.ptr()))) return nullptr;
    static handle callback = steal_or_raise(PyCFunction_NewEx(&drop_text_def, nullptr, nullptr)).release();
    auto slot = std::make_unique<Slot>();
    slot->ref = steal_or_raise(PyWeakref_NewRef(registry.ptr(), callback.ptr()));
    return table.emplace(registry.ptr(), std::move(slot)).first->second.get();
}

}  // namespace

KeptText::KeptText(handle registry) : registry_(nb::borrow(registry)) {
    Slot *slot = slot_of(registry);
    if (slot != nullptr && !slot->busy) {
        text_ = &slot->text;
        busy_ = &slot->busy;
        *busy_ = true;
        return;
    }
    own_ = std::make_unique<TokenFileText>();
    text_ = own_.get();
}

KeptText::~KeptText() {
    if (busy_ != nullptr) *busy_ = false;
}

}  // namespace vk::keys
