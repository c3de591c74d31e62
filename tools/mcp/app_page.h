// The grid app's page (tools/mcp/assets/grid_app.html), compiled into the
// program by mcp/embed_app.cmake so that nothing is read from disk.
#ifndef KESTROVA_SQLR_TOOLS_MCP_APP_PAGE_H_
#define KESTROVA_SQLR_TOOLS_MCP_APP_PAGE_H_

#include <cstddef>

namespace kestrova::tools::mcp {

// The page's UTF-8 bytes (static storage, not NUL-terminated) and their count.
extern const unsigned char kGridAppPage[];
extern const size_t kGridAppPageSize;

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_APP_PAGE_H_
