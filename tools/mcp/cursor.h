// Where a list cut into pages goes on: a cursor the server hands out as
// nextCursor and checks when a client sends it back. It is opaque to the
// client; inside it names the position after the last entry given and a
// digest of that entry, so that a list that changed in between (a table
// made or dropped) still goes on after the same entry, and a cursor that was
// forged or garbled is refused instead of read as some position.
#ifndef KESTROVA_SQLR_TOOLS_MCP_CURSOR_H_
#define KESTROVA_SQLR_TOOLS_MCP_CURSOR_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools::mcp {

// No cursor the server makes is longer; a longer one is refused unread.
constexpr size_t kMaxCursorBytes = 64;

// The short name of a list that depends on a call's arguments: `list` and a
// digest of `arguments`, so that a cursor given for one search is refused for
// another.
std::string list_key(std::string_view list, std::string_view arguments);

// The cursor of the list `list` (a short name of the list, such as "r"
// for resources) that goes on at position `next` (> 0) after the entry
// `last`.
std::string make_cursor(std::string_view list, size_t next, std::string_view last);

// Where the list `list` of `names` goes on for `cursor`: its position in
// `next`. A cursor of this list whose entry moved is followed to where that
// entry is now. False when the cursor is not one this server makes for
// `list`, or its entry is no longer in the list.
bool resume_cursor(std::string_view list, std::string_view cursor,
                   const std::vector<std::string_view>& names, size_t* next);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_CURSOR_H_
