// The token file text, written natively.
//
// Every successful validation rewrites the whole token file, so rendering it
// is the hot path. The writer renders exactly what
// `json.dumps(value, indent=2, ensure_ascii=False).encode("utf-8")` gives,
// for the value types a token file holds: str, int, float, bool, None, list
// and dict with str keys, each of exactly that type. Anything else (a
// subclass, another key type, an unknown object, a str that UTF-8 cannot
// encode, nesting deep enough to be a cycle) makes it give up, and the caller
// goes through the json module, whose output and errors are then the result.
#pragma once

#include "common/py.hpp"

#include <string>

namespace vk::keys {

/// Render the token file of `tokens` (`{key: token.to_dict()}` for a dict of
/// exact `Token` objects) into `out`, as UTF-8. Returns false, with no Python
/// error pending, when the json module has to do it; `out` is then garbage.
bool write_token_file_json(handle tokens, handle token_type, std::string &out);

}  // namespace vk::keys
