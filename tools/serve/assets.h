// The page of `kestrova-sqlr serve` (tools/serve/assets/), compiled into the
// program by serve_embed.cmake so that nothing is read from disk or fetched.
#ifndef KESTROVA_SQLR_TOOLS_SERVE_ASSETS_H_
#define KESTROVA_SQLR_TOOLS_SERVE_ASSETS_H_

#include <cstddef>

namespace kestrova::tools::serve {

// One file of the page: its URL path ("/app.js"), its Content-Type and its
// bytes (static storage, not NUL-terminated).
struct ServeAsset {
  const char* path;
  const char* content_type;
  const unsigned char* data;
  size_t size;
};

// The files, ending with an entry whose path is null.
extern const ServeAsset kServeAssets[];

}  // namespace kestrova::tools::serve

#endif  // KESTROVA_SQLR_TOOLS_SERVE_ASSETS_H_
