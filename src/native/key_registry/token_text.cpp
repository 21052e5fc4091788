// The token file's text kept between saves (see token_text.hpp).
#include "key_registry/token_text.hpp"

#include "common/errors.hpp"
#include "common/prefetch.hpp"
#include "key_registry/registry.hpp"

#include <algorithm>
#include <unordered_map>

namespace vk::keys {

namespace {

constexpr std::string_view OPEN = "{";
constexpr std::string_view CLOSE = "\n}";
constexpr std::string_view EMPTY = "{}";

Piece piece(std::string_view s) { return {s.data(), s.size()}; }

/// The fields of the token `v`, when the native writer can render it: an
/// exact token of a plain class, whose window `asdict` can copy.
bool readable(PyObject *v, handle token_type, bool plain, TokenFields &fields) {
    return Py_TYPE(v) == reinterpret_cast<PyTypeObject *>(token_type.ptr()) && read_fields(handle(v), plain, fields) &&
           plain_window(fields.value[TokenFields::WINDOW]);
}

/// The member of `token` under `key` through `to_dict` and the json module:
/// `json.dumps({key: token.to_dict()}, indent=2, ensure_ascii=False)` without
/// its braces, in UTF-8. False with `error` set when the token cannot be
/// written; other errors are raised.
bool member_with_json(handle key, handle token, MemberText &m, object &error) {
    try {
        object data = steal_or_raise(PyDict_New());
        check(PyDict_SetItem(data.ptr(), key.ptr(), call_method(token, names.to_dict).ptr()));
        object text = call_kw(get_attr(global(names.json), names.dumps), {data},
                              {{names.indent, object(make_int(2))}, {names.ensure_ascii, handle(Py_False)}});
        object utf8 = steal_or_raise(PyUnicode_AsUTF8String(text.ptr()));
        std::string_view all(PyBytes_AS_STRING(utf8.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.ptr())));
        if (all.size() < 3) raise_format(PyExc_ValueError, "json.dumps gave no object");
        // "{" member "\n}": the member is what the file holds at its level.
        m = MemberText{nb::borrow(key), token.ptr(), {}, ",", false};
        m.text.append(all.substr(1, all.size() - 3));
        return true;
    } catch (nb::python_error &e) {
        if (!is_unstorable_error(e)) throw;
        error = nb::borrow(e.value());
        return false;
    }
}

constexpr std::string_view FIELD_INDENT = "\n    ";
constexpr std::string_view MEMBER_CLOSE = "\n  }";

/// Where the value of each of a token's members lies in `text`, a member of
/// the file; false when it is not laid out as a token's ten members are.
/// A member's label starts a line indented by exactly four spaces; lines
/// inside its value are indented further, and strings hold no line feeds.
bool field_spans(std::string_view text, size_t (&start)[TokenFields::WINDOW], size_t (&end)[TokenFields::WINDOW]) {
    if (text.size() < MEMBER_CLOSE.size() || !text.ends_with(MEMBER_CLOSE)) return false;
    size_t pos = 0;
    for (size_t i = 0; i < TokenFields::WINDOW; ++i) {
        size_t at = pos;
        do {
            at = text.find(FIELD_LABELS[i], at + 1);
            if (at == std::string_view::npos) return false;
        } while (at < FIELD_INDENT.size() || !text.substr(0, at).ends_with(FIELD_INDENT));
        if (i > 0) {
            end[i - 1] = at - FIELD_INDENT.size() - 1;  // before the comma
            if (end[i - 1] <= start[i - 1] || text[end[i - 1]] != ',') return false;
        }
        start[i] = pos = at + FIELD_LABELS[i].size();
    }
    end[TokenFields::WINDOW - 1] = text.size() - MEMBER_CLOSE.size();
    return end[TokenFields::WINDOW - 1] > start[TokenFields::WINDOW - 1];
}

// A check is bound by memory latency: the trails and the objects of the
// members a few places ahead are fetched while this one is checked, the
// trail first since it names the objects.
constexpr size_t TRAIL_AHEAD = 4;
constexpr size_t OBJECTS_AHEAD = 2;

/// The token (and the instance dict pointer stored before it) and the lists
/// and dicts its trail names. Addresses only: nothing is read through them.
void prefetch_objects(const MemberText &m) {
    prefetch_instance(m.token, 1);
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

bool TokenFileText::update_in_place(handle tokens, handle token_type, ByteBuffer &scratch,
                                    std::vector<MemberText> &dropped, std::vector<Deferred> &deferred) {
    if (static_cast<size_t>(PyDict_GET_SIZE(tokens.ptr())) != members_.size() || members_.empty()) return false;
    bool plain = plain_fields(token_type);
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    // Reading a plain token runs no Python code, so the dict cannot change
    // during this loop and the objects met stay alive through it.
    for (size_t i = 0; PyDict_Next(tokens.ptr(), &pos, &k, &v); ++i) {
        if (i + TRAIL_AHEAD < members_.size()) prefetch(members_[i + TRAIL_AHEAD].seen.marks.data());
        if (i + OBJECTS_AHEAD < members_.size()) prefetch_objects(members_[i + OBJECTS_AHEAD]);
        MemberText &m = members_[i];
        if (m.token != v || m.key.ptr() != k) return false;
        TokenFields fields;
        bool native = readable(v, token_type, plain, fields);
        if (native && m.reusable && same_objects(fields, m.seen)) continue;
        MemberText fresh;
        if (native && render_member(k, v, fields, scratch, fresh)) {
            dropped.push_back(std::move(m));
            m = std::move(fresh);
            set_piece(i);
            continue;
        }
        deferred.push_back({i, nb::borrow(k), nb::borrow(v), std::move(m)});
    }
    return true;
}

bool TokenFileText::rebuild(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<MemberText> &next,
                            std::vector<Deferred> &deferred) {
    bool plain = plain_fields(token_type);
    next.reserve(static_cast<size_t>(PyDict_GET_SIZE(tokens.ptr())));
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(tokens.ptr(), &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        TokenFields fields;
        bool native = readable(v, token_type, plain, fields);
        MemberText *old = previous(next.size(), k, v);
        if (native && old != nullptr && old->reusable && same_objects(fields, old->seen)) {
            next.push_back(std::move(*old));
            continue;
        }
        next.emplace_back();
        if (native && render_member(k, v, fields, scratch, next.back())) continue;
        MemberText last = old != nullptr ? std::move(*old) : MemberText{};
        deferred.push_back({next.size() - 1, nb::borrow(k), nb::borrow(v), std::move(last)});
    }
    return true;
}

bool TokenFileText::patch(const Deferred &d, handle token_type, ByteBuffer &scratch, MemberText &out) {
    const std::string &last = d.last.text;
    size_t start[TokenFields::WINDOW], end[TokenFields::WINDOW];
    TokenFields fields;
    if (!field_spans(last, start, end) || !readable(d.token.ptr(), token_type, plain_fields(token_type), fields))
        return false;
    // Only the native writer renders a member here: it runs no Python code,
    // and where it succeeds `to_dict` and the json module give the same.
    std::string text(last, 0, start[0]);  // the key and the first label, as before
    for (size_t i = 0; i < TokenFields::WINDOW; ++i) {
        if (i > 0) text.append(last, end[i - 1], start[i] - end[i - 1]);
        scratch.clear();
        if (write_field(fields.value[i], scratch))
            text.append(scratch.data(), scratch.size());
        else
            text.append(last, start[i], end[i] - start[i]);  // as last written
    }
    text.append(last, end[TokenFields::WINDOW - 1]);
    out = MemberText{d.key, d.token.ptr(), {}, std::move(text), false};
    return true;
}

bool TokenFileText::settle(std::vector<Deferred> &deferred, handle token_type, ByteBuffer &scratch,
                           std::vector<MemberText> &dropped, std::vector<Unwritable> &unwritable, bool with_json) {
    bool complete = true;
    for (Deferred &d : deferred) {
        MemberText &slot = members_[d.index];
        object error;
        if (with_json && member_with_json(d.key, d.token, slot, error)) {
            dropped.push_back(std::move(d.last));
            continue;
        }
        if (error.is_valid()) {
            unwritable.push_back({d.key, error});
            // The members that can be written are, the others keep their
            // last written text: a revocation or a new key still reaches the file.
            MemberText patched;
            if (d.last.key.is_valid() && patch(d, token_type, scratch, patched)) {
                dropped.push_back(std::move(d.last));
                slot = std::move(patched);
                continue;
            }
        }
        // The last text the token was written with, if it was ever written.
        slot = std::move(d.last);
        complete = complete && slot.key.is_valid();
    }
    return complete;
}

bool TokenFileText::render(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<Unwritable> &unwritable,
                           bool with_json) {
    // Replaced members are let go only at the end: releasing a container may
    // run a finaliser, and that code must find this text whole.
    std::vector<MemberText> dropped, next;
    std::vector<Deferred> deferred;
    try {
        if (update_in_place(tokens, token_type, scratch, dropped, deferred)) {
            if (settle(deferred, token_type, scratch, dropped, unwritable, with_json)) {
                for (const Deferred &d : deferred) set_piece(d.index);
            } else {
                std::erase_if(members_, [](const MemberText &m) { return !m.key.is_valid(); });
                lay_out();
            }
            return true;
        }
        // Tokens were added, removed or reordered: match members by token,
        // the deferred ones' last texts included.
        for (Deferred &d : deferred) members_[d.index] = std::move(d.last);
        deferred.clear();
        index_.clear();
        bool ok = rebuild(tokens, token_type, scratch, next, deferred);
        index_.clear();
        members_.swap(next);
        if (ok) {
            settle(deferred, token_type, scratch, dropped, unwritable, with_json);
            std::erase_if(members_, [](const MemberText &m) { return !m.key.is_valid(); });
            lay_out();
            return true;
        }
    } catch (...) {
        // The json module raised: nothing half-updated is kept.
        for (MemberText &m : members_) dropped.push_back(std::move(m));
        members_.clear();
        pieces_.clear();
        index_.clear();
        throw;
    }
    for (MemberText &m : members_) dropped.push_back(std::move(m));
    members_.clear();
    pieces_.clear();
    return false;
}

void TokenFileText::set_piece(size_t i) {
    // The first member has no comma before it.
    pieces_[i + 1] = piece(std::string_view(members_[i].text).substr(i == 0 ? 1 : 0));
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
