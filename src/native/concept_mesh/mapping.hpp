// Mapping helpers of the mesh, beside the shared ones of common/py.hpp
// (`get_item`, `get_or`): the plain dict directly, anything else (a subclass,
// another mapping) through the interpreter's protocols, so that both give
// what the equivalent Python expression gives.
#pragma once

#include "common/py.hpp"

namespace vk::mesh {

/// `mapping.get(key)`: the mapping's own default (None for a plain dict),
/// `get` called with the key alone. With a fallback, `vk::get_or`.
object get_or_none(handle mapping, handle key);

/// `key in container`.
bool contains(handle container, handle key);

/// `mapping[key] = value`, through the mapping protocol.
void set_item(handle mapping, handle key, handle value);

/// Adds an entry to a plain dict that this module has just made (an export
/// record, a result dict): no protocol, the dict is ours.
inline void dict_put(handle dict, handle key, handle value) {
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

/// `list(mapping.values())`: the nodes of the mesh as a list snapshot.
object values_list(handle mapping);

/// The value under "weight" of a plain dict, found without running Python
/// code: the key is compared by identity, then with the other keys only when
/// they are all exact str. False when some key is not an exact str (a look-up
/// could then run code); otherwise `weight` is the borrowed value, or null
/// when the dict has no "weight".
bool plain_weight(PyObject *data, PyObject *&weight);

/// The "weight" of an edge-data entry, any mapping: `data["weight"]` when no
/// fallback is given (a missing key raises KeyError), else
/// `data.get("weight", fallback)`.
object read_weight(handle data, handle fallback = handle());

}  // namespace vk::mesh
