// Each table and view of the database as a resource an assistant application
// can show or attach: its description (columns, indexes, foreign keys) in JSON.
#ifndef KESTROVA_SQLR_TOOLS_MCP_RESOURCES_H_
#define KESTROVA_SQLR_TOOLS_MCP_RESOURCES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "mcp/database.h"
#include "mcp/rpc.h"
#include "yyjson.h"

namespace kestrova::tools::mcp {

// MCP's error code for a resource that does not exist.
constexpr int kRpcResourceNotFound = -32002;

// The address of the table or view `name`: kResourcePrefix followed by the
// name's UTF-8 bytes, percent-encoded except for A-Z a-z 0-9 - . _ ~.
inline constexpr std::string_view kResourcePrefix = "kestrova-sqlr://table/";
std::string table_uri(std::string_view name);

// The result of resources/list for `params` ({"cursor"} optional), built in
// `doc`: the names sqlr_tables gives, in its order, as many as fit
// `max_bytes`, with a nextCursor when more follow. An entry too large for any
// page (a name of many kilobytes) is left out, as its description could not
// be read within the budget either. A cursor that is not one this server gave
// is invalid params. A database that cannot be opened (yet) or read is an
// internal error with the library's message. With `with_app` (the client
// renders apps) the first page starts with the grid app (mcp/app.h).
RpcReply list_resources(McpDatabase* db, yyjson_val* params, size_t max_bytes, bool with_app,
                        yyjson_mut_doc* doc);

// The result of resources/read for `params` ({"uri"}): the description of the
// table or view as one JSON text, or the grid app's page for its ui://
// address (to any client: reading it is harmless). An address that is not one
// of ours, or names no table or view, is "resource not found".
RpcReply read_resource(McpDatabase* db, yyjson_val* params, yyjson_mut_doc* doc);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_RESOURCES_H_
