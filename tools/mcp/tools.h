// The tools the server offers an assistant: their descriptions and argument
// and result schemas (tools/list) and their calls against one database
// (tools/call).
#ifndef KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
#define KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_

#include <cstddef>
#include <cstdint>

#include "mcp/database.h"
#include "mcp/rpc.h"
#include "mcp/server.h"
#include "yyjson.h"

namespace kestrova::tools::mcp {

// Rows in a read_query page when the call names no limit.
constexpr int32_t kDefaultToolLimit = 100;

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
  // The client renders apps (mcp/app.h): read_query links to the grid app,
  // and its results carry each row's storage classes for it.
  bool apps = false;
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

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
