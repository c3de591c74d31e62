// A list answer that stops before it would pass the session's budget: the
// entries are JSON texts, each counted as the answer will carry it (once as
// escaped text, once more as structuredContent), and the caller learns when
// one does not fit, to hand out a cursor from there.
#ifndef KESTROVA_SQLR_TOOLS_MCP_ENTRY_LIST_H_
#define KESTROVA_SQLR_TOOLS_MCP_ENTRY_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/page.h"

namespace kestrova::tools::mcp {

// Bytes kept back besides kResultOverhead for a list answer's other members
// (a cursor, counts).
constexpr size_t kListMembersBytes = 256;

class EntryList {
 public:
  explicit EntryList(const ResultBudget& budget)
      : budget_(budget),
        room_(budget.max_bytes > kResultOverhead + kListMembersBytes
                  ? budget.max_bytes - kResultOverhead - kListMembersBytes
                  : 0) {}

  // Whether `entry` could fit an answer of its own.
  bool fits_alone(std::string_view entry) const { return budget_.cost(entry) + 2 <= room_; }

  // Appends `entry`; false, adding nothing, when the answer would pass its
  // budget.
  bool add(std::string_view entry) {
    const size_t cost = budget_.cost(entry) + (count_ > 0 ? budget_.cost(",") : 0);
    if (spent_ + cost + 2 > room_) return false;
    spent_ += cost;
    json_ += count_++ > 0 ? "," : "";
    json_ += entry;
    return true;
  }

  // Appends every entry of `entries`, or (false) none when they do not all
  // fit.
  bool add_all(const std::vector<std::string>& entries) {
    size_t cost = 0, n = count_;
    for (const std::string& e : entries)
      cost += budget_.cost(e) + (n++ > 0 ? budget_.cost(",") : 0);
    if (spent_ + cost + 2 > room_) return false;
    for (const std::string& e : entries) add(e);
    return true;
  }

  size_t count() const { return count_; }

  // The entries as a JSON array.
  std::string json() const { return "[" + json_ + "]"; }

 private:
  ResultBudget budget_;
  size_t room_;
  size_t spent_ = 0;
  size_t count_ = 0;
  std::string json_;
};

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_ENTRY_LIST_H_
