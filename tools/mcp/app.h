// The grid app: an MCP App (the io.modelcontextprotocol/ui extension) that a
// host able to render apps shows beside read_query's results, so that the
// person sees the rows the assistant read. It is one ui:// resource, a
// self-contained HTML page, linked from read_query through the tool's
// _meta.ui.resourceUri; it reads further pages by calling read_query through
// the host, so it passes the same guard as the assistant. A client that does
// not say it renders apps is offered none of this.
#ifndef KESTROVA_SQLR_TOOLS_MCP_APP_H_
#define KESTROVA_SQLR_TOOLS_MCP_APP_H_

#include <cstddef>
#include <string_view>

#include "mcp/rpc.h"
#include "yyjson.h"

namespace kestrova::tools::mcp {

// The extension's name in capabilities, the type of its pages, and our page.
inline constexpr std::string_view kAppExtension = "io.modelcontextprotocol/ui";
inline constexpr std::string_view kAppMimeType = "text/html;profile=mcp-app";
inline constexpr std::string_view kAppUri = "ui://kestrova-sqlr/grid";

// The key of a read_query result's _meta that the app reads each row's
// storage classes from (one letter per column: n, i, r, t, b), so that it can
// tell a BLOB's Base64 text from text.
inline constexpr std::string_view kTypesMetaKey = "kestrova-sqlr/types";

// Whether the client's initialize `capabilities` say it renders apps:
// extensions["io.modelcontextprotocol/ui"].mimeTypes holds kAppMimeType.
bool client_renders_apps(yyjson_val* capabilities);

// Adds to a server's initialize `capabilities` that it offers apps.
void add_app_capability(yyjson_mut_doc* doc, yyjson_mut_val* capabilities);

// Adds to the tools/list entry `tool` its link to the app: _meta.ui
// {resourceUri, visibility ["model","app"]}, and the older flat key
// "ui/resourceUri" that earlier hosts read.
void add_app_link(yyjson_mut_doc* doc, yyjson_mut_val* tool);

// The app's entry of resources/list, and the bytes it takes there as written
// with its comma.
yyjson_mut_val* app_resource_entry(yyjson_mut_doc* doc);
size_t app_entry_bytes();

// Whether `uri` is the app's address.
bool is_app_uri(std::string_view uri);

// The result of resources/read for the app: its page, with _meta.ui's
// content security policy asking for no outside origin at all.
RpcReply read_app(yyjson_mut_doc* doc);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_APP_H_
