// The tools the server offers an assistant: their descriptions and argument
// schemas (tools/list) and their calls against one open database (tools/call).
#ifndef KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
#define KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_

#include <cstdint>

#include "mcp_rpc.h"
#include "yyjson.h"

namespace kestrova_cli {

// Rows in a read_query page when the call names no limit.
constexpr int32_t kDefaultToolLimit = 100;

// The result of tools/list, built in `doc`: list_tables, describe_table,
// read_query, and write_query only when `writable`.
RpcReply list_tools(yyjson_mut_doc* doc, bool writable);

// Answers tools/call with `params` ({"name","arguments"}) on the database
// `handle`, building the result in `doc`. A missing or unknown tool name and
// arguments that do not match the tool's schema are JSON-RPC errors
// (invalid params); whatever the library refuses or fails is a tool result
// with isError true and the library's message.
RpcReply call_tool(int32_t handle, bool writable, yyjson_val* params, yyjson_mut_doc* doc);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_MCP_TOOLS_H_
