// kestrova-sqlr mcp: a Model Context Protocol server over standard input and
// output, through which an assistant reads (and, when allowed, changes) one
// database.
#ifndef KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
#define KESTROVA_SQLR_TOOLS_MCP_SERVER_H_

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace kestrova_cli {

// The protocol versions the server speaks, newest first.
inline constexpr std::string_view kMcpVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                    "2024-11-05"};

// The longest message read; a longer line is answered with a parse error
// and passed over without being held in memory.
constexpr size_t kMaxMessageBytes = size_t{64} << 20;

// Answers JSON-RPC 2.0 messages, one per line of `in`, with one line each on
// `out` for the open database `handle` (write_query offered only when
// `writable`), until `in` ends. `version` is the server's own version for
// initialize. Nothing but protocol is written to `out`. Returns 0 when the
// input ended, 1 when `out` could not be written (said on stderr).
int serve_mcp(int32_t handle, bool writable, std::string_view version, std::FILE* in,
              std::FILE* out);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
