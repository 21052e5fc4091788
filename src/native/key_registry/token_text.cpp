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

/// The fields of the token `v` under `k`, when the native writer can render
/// it: an exact token of a plain class under a str key, whose window `asdict`
/// can copy.
bool readable(PyObject *k, PyObject *v, handle token_type, bool plain, TokenFields &fields) {
    return PyUnicode_CheckExact(k) && Py_TYPE(v) == reinterpret_cast<PyTypeObject *>(token_type.ptr()) &&
           read_fields(handle(v), plain, fields) && plain_window(fields.value[TokenFields::WINDOW]);
}

// A check is bound by memory latency: the trails and the objects of the
// members a few places ahead are fetched while this one is checked, the
// trail first since it names the objects.
constexpr size_t TRAIL_AHEAD = 4;
constexpr size_t OBJECTS_AHEAD = 2;

inline void prefetch(const void *p) { __builtin_prefetch(p); }

/// The token (and the instance dict pointer stored before it) and the lists
/// and dicts its trail names. Addresses only: nothing is read through them.
void prefetch_objects(const MemberText &m) {
    const auto *token = static_cast<const char *>(m.token);
    prefetch(token);
    prefetch(token - 4 * sizeof(void *));
    const std::vector<uintptr_t> &marks = m.seen.marks;
    for (size_t j = 0; j < marks.size(); ++j) {
        if ((marks[j] & 1) == 0) continue;
        prefetch(reinterpret_cast<const void *>(marks[j] & ~uintptr_t{1}));
        ++j;  // the container's length
    }
}

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

bool TokenFileText::render_member(PyObject *k, PyObject *v, const TokenFields &fields, ByteBuffer &scratch,
                                  MemberText &m) {
    m = MemberText{nb::borrow(k), v, {}, {}, true};
    scratch.clear();
    if (!write_member(handle(k), fields, scratch, &m.seen, m.reusable)) return false;
    if (!m.reusable) m.seen.clear();
    m.text.assign(scratch.data(), scratch.size());
    return true;
}

TokenFileText::Outcome TokenFileText::update_in_place(handle tokens, handle token_type, ByteBuffer &scratch,
                                                      std::vector<MemberText> &dropped) {
    if (static_cast<size_t>(PyDict_GET_SIZE(tokens.ptr())) != members_.size() || members_.empty())
        return Outcome::moved;
    bool plain = plain_fields(token_type);
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    // Reading a plain token runs no Python code, so the dict cannot change
    // during this loop and the objects met stay alive through it.
    for (size_t i = 0; PyDict_Next(tokens.ptr(), &pos, &k, &v); ++i) {
        if (i + TRAIL_AHEAD < members_.size()) prefetch(members_[i + TRAIL_AHEAD].seen.marks.data());
        if (i + OBJECTS_AHEAD < members_.size()) prefetch_objects(members_[i + OBJECTS_AHEAD]);
        MemberText &m = members_[i];
        if (m.token != v || m.key.ptr() != k) return Outcome::moved;
        TokenFields fields;
        if (!readable(k, v, token_type, plain, fields)) return Outcome::failed;
        if (m.reusable && same_objects(fields, m.seen)) continue;
        dropped.push_back(std::move(m));
        if (!render_member(k, v, fields, scratch, m)) return Outcome::failed;
        pieces_[i + 1] = piece(std::string_view(m.text).substr(i == 0 ? 1 : 0));
    }
    return Outcome::done;
}

bool TokenFileText::rebuild(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<MemberText> &next) {
    bool plain = plain_fields(token_type);
    next.reserve(static_cast<size_t>(PyDict_GET_SIZE(tokens.ptr())));
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(tokens.ptr(), &pos, &k, &v)) {
        TokenFields fields;
        if (!readable(k, v, token_type, plain, fields)) return false;
        MemberText *old = previous(next.size(), k, v);
        if (old != nullptr && old->reusable && same_objects(fields, old->seen)) {
            next.push_back(std::move(*old));
            continue;
        }
        next.emplace_back();
        if (!render_member(k, v, fields, scratch, next.back())) return false;
    }
    return true;
}

bool TokenFileText::render(handle tokens, handle token_type, ByteBuffer &scratch) {
    // Replaced members are let go only at the end: releasing a container may
    // run a finaliser, and that code must find this text whole.
    std::vector<MemberText> dropped, next;
    Outcome outcome = update_in_place(tokens, token_type, scratch, dropped);
    if (outcome == Outcome::done) return true;
    if (outcome == Outcome::moved) {
        // Tokens were added, removed or reordered: match members by token.
        index_.clear();
        bool ok = rebuild(tokens, token_type, scratch, next);
        index_.clear();
        members_.swap(next);
        if (ok) {
            lay_out();
            return true;
        }
    }
    for (MemberText &m : members_) dropped.push_back(std::move(m));
    members_.clear();
    pieces_.clear();
    return false;
}

void TokenFileText::lay_out() {
    pieces_.clear();
    if (members_.empty()) {
        pieces_.push_back(piece(EMPTY));
        return;
    }
    pieces_.reserve(members_.size() + 2);
    pieces_.push_back(piece(OPEN));
    // The first member has no comma before it.
    for (const MemberText &m : members_)
        pieces_.push_back(piece(std::string_view(m.text).substr(pieces_.size() == 1 ? 1 : 0)));
    pieces_.push_back(piece(CLOSE));
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
