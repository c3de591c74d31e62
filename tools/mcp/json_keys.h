// One meaning per request: JSON leaves an object that names a key twice open
// to every reading (the first value, the last, or both), so a client that
// shows or approves one value could see another one run. Such requests are
// found here and refused by the server.
#ifndef KESTROVA_SQLR_TOOLS_MCP_JSON_KEYS_H_
#define KESTROVA_SQLR_TOOLS_MCP_JSON_KEYS_H_

#include <string_view>

#include "yyjson.h"

namespace kestrova::tools::mcp {

// Objects with at most this many keys are checked pair by pair; larger ones
// through a sorted copy of their keys, so a hostile object of a million keys
// costs n log n, not n squared.
constexpr size_t kPairwiseKeys = 16;

// Whether the object `obj` itself (not the objects within it) holds a key
// twice; the key in `key` when it does.
bool repeats_a_key(yyjson_val* obj, std::string_view* key);

// Whether some object in the tree of `root` (itself included, at any depth)
// holds a key twice. Keys compare as JSON defines them: after unescaping,
// byte for byte ("s\u0071l" is "sql"), which is how yyjson reads them. Sets
// `key` to the first duplicated key found, pointing into the document. The
// tree is walked without recursion, so nesting as deep as the reader takes
// costs no stack.
bool has_duplicate_key(yyjson_val* root, std::string_view* key);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_JSON_KEYS_H_
