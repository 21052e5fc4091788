// The token file's text, kept between saves one member per token.
//
// A validation changes one token, yet the file is rewritten whole. Each
// member's text is kept with the objects it was rendered from (held, so an
// address found again is the same object): a token whose fields, and every
// list and dict inside them, are still those same objects with the same
// sizes would render the same text, so its text is reused. Anything the host
// changed in place or replaced shows as a different object or size, and that
// member is rendered again.
//
// The kept text is also each token's last written form: a token that can no
// longer be rendered (the host put a value JSON cannot hold into it) keeps
// that text in the file for the members that cannot be written, so it never
// blocks the others and its other changes (a revocation, a new key) still
// reach the file.
#pragma once

#include "key_registry/atomic_file.hpp"
#include "key_registry/json_writer.hpp"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vk::keys {

/// One token's member of the file, as last rendered.
struct MemberText {
    object key;              // the registry key it was rendered under
    const void *token;       // where the token lived: a hint for finding the entry, never followed
    Trail seen;              // the objects it was rendered from
    std::string text;        // ",\n  \"key\": {...}" in UTF-8
    bool reusable;
};

/// A token that could not be rendered: its registry key and the error
/// rendering it raised (one that `is_unstorable_error` accepts).
struct Unwritable {
    object key;
    object error;
};

class TokenFileText {
public:
    /// Render `tokens` (a dict keyed by str) as `json.dumps({k: t.to_dict()
    /// ...}, indent=2, ensure_ascii=False)`, reusing the text of unchanged
    /// tokens. A token the native writer cannot render goes through its
    /// `to_dict` and the json module alone, or, when `with_json` is false, is
    /// left out without running any Python code. A token that cannot be
    /// rendered at all is added to `unwritable` and keeps its last text for
    /// the members that cannot be written (all of them unless it is a plain
    /// token), or is left out when it has none. False, with no Python error pending and
    /// nothing kept, when the json module has to render the whole file.
    bool render(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<Unwritable> &unwritable,
                bool with_json = true);

    /// The UTF-8 text, in pieces, as of the last successful render.
    std::span<const Piece> pieces() const { return pieces_; }
    size_t size() const;

private:
    /// A member left for the json module, rendered once no dict is being
    /// walked: its place, its token, and the token's last text if it has one.
    struct Deferred {
        size_t index;
        object key, token;
        MemberText last;
    };

    /// Check each member where it stands and render again the changed ones;
    /// false when the tokens no longer stand where they did.
    bool update_in_place(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<MemberText> &dropped,
                         std::vector<Deferred> &deferred);
    /// Members in the tokens' new order, reusing those of unchanged tokens.
    bool rebuild(handle tokens, handle token_type, ByteBuffer &scratch, std::vector<MemberText> &next,
                 std::vector<Deferred> &deferred);
    /// Fill the deferred places of `members_`; false when one is left empty.
    bool settle(std::vector<Deferred> &deferred, handle token_type, ByteBuffer &scratch,
                std::vector<MemberText> &dropped, std::vector<Unwritable> &unwritable, bool with_json);
    /// The member of a token that cannot be written whole: each of its
    /// members as it is now where that can be written, else as in its last text.
    bool patch(const Deferred &d, handle token_type, ByteBuffer &scratch, MemberText &out);
    bool render_member(PyObject *key, PyObject *token, const TokenFields &fields, ByteBuffer &scratch,
                       MemberText &m);
    MemberText *previous(size_t i, PyObject *key, PyObject *token);
    void set_piece(size_t i);
    void lay_out();

    std::vector<MemberText> members_;
    std::vector<Piece> pieces_;
    std::vector<std::pair<const void *, size_t>> index_;  // previous members by token, sorted
};

/// The text kept for one registry between its saves, held for one save. A
/// save that starts while another of the same registry is under way (from
/// another thread, or from code the first one ran) gets a text of its own.
class KeptText {
public:
    explicit KeptText(handle registry);
    ~KeptText();
    KeptText(const KeptText &) = delete;
    KeptText &operator=(const KeptText &) = delete;

    TokenFileText &get() { return *text_; }

private:
    object registry_;  // alive, so its text is not dropped during the save
    TokenFileText *text_ = nullptr;
    bool *busy_ = nullptr;
    std::unique_ptr<TokenFileText> own_;
};

}  // namespace vk::keys
