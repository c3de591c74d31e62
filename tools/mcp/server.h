// kestrova-sqlr mcp: a Model Context Protocol server over standard input and
// output, through which an assistant reads (and, when allowed, changes) one
// database.
#ifndef KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
#define KESTROVA_SQLR_TOOLS_MCP_SERVER_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "mcp/database.h"

namespace kestrova::tools::mcp {

// The bytes a tools/call result may take (--max-result-bytes): about 25,000
// tokens by default; at most 8 MiB, under the 10 MiB at which clients give up
// on a message.
constexpr size_t kDefaultMaxResultBytes = 100000;
constexpr size_t kMinMaxResultBytes = 1024;
constexpr size_t kMaxMaxResultBytes = size_t{8} << 20;

// The protocol versions the server speaks, newest first.
inline constexpr std::string_view kMcpVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                    "2024-11-05"};

// The longest id a request may carry (every reply repeats it).
constexpr size_t kMaxIdBytes = 256;

// The longest message read; a longer line is answered with a parse error
// and passed over without being held in memory.
constexpr size_t kMaxMessageBytes = size_t{64} << 20;

// Answers JSON-RPC 2.0 messages, one per line of `in`, with one line each on
// `out` for the database `db` (write_query offered only when it is
// writable), until `in` ends. Every answer but the server's fixed texts
// stays within `max_result_bytes` (see mcp/answer.h). `version` is the server's own version for
// initialize. Nothing but protocol is written to `out`. Returns 0 when the input ended, 1 when
// `out` could not be written (said on stderr).
int serve_mcp(McpDatabase* db, size_t max_result_bytes, std::string_view version, std::FILE* in,
              std::FILE* out);

// `kestrova-sqlr mcp`: serves the file at `path` over standard input and
// output. A path that names no existing regular file fails at once, with one
// line on stderr and status 1; a file that exists but cannot be opened yet
// (locked by another program, say) is served all the same, each request
// that needs it trying again. Returns the exit status.
int run_mcp_server(const std::string& path, bool writable, size_t max_result_bytes,
                   std::string_view version);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_SERVER_H_
