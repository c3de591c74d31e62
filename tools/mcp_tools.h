// The tools the server offers an assistant: their descriptions and argument
// and result schemas (tools/list) and their calls against one database
// (tools/call).
#ifndef KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
#define KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_

#include <cstddef>
#include <cstdint>

#include "mcp_database.h"
#include "mcp_rpc.h"
#include "yyjson.h"

namespace kestrova_cli {

// Rows in a read_query page when the call names no limit.
constexpr int32_t kDefaultToolLimit = 100;

// The bytes a tools/call result may take (--max-result-bytes): about 25,000
// tokens by default; at most 8 MiB, under the 10 MiB at which clients give up
// on a message.
constexpr size_t kDefaultMaxResultBytes = 100000;
constexpr size_t kMinMaxResultBytes = 1024;
constexpr size_t kMaxMaxResultBytes = size_t{8} << 20;

// What one session of the server has agreed on. `db` is borrowed.
struct ToolSession {
  McpDatabase* db = nullptr;
  size_t max_result_bytes = kDefaultMaxResultBytes;
  // The client speaks 2025-06-18 or later: tools carry an outputSchema and
  // results a structuredContent beside the text.
  bool structured = false;
  // The client speaks 2025-11-25 or later: arguments that do not fit a tool's
  // schema are answered as a tool error the model can correct, not with
  // JSON-RPC's invalid params.
  bool argument_errors_as_results = false;
};

// The result of tools/list, built in `doc`: list_tables, describe_table,
// read_query, and write_query only when the database is writable.
RpcReply list_tools(const ToolSession& session, yyjson_mut_doc* doc);

// Answers tools/call with `params` ({"name","arguments"}), building the result
// in `doc`. A missing or unknown tool name, or arguments that are not an
// object, are JSON-RPC errors (invalid params); arguments that do not match
// the tool's schema are too, or tool errors (see ToolSession). Whatever the
// library refuses or fails, a database that cannot be opened yet, and an
// answer that cannot fit the session's budget are tool results with isError
// true and a message.
RpcReply call_tool(const ToolSession& session, yyjson_val* params, yyjson_mut_doc* doc);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
