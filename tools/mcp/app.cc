// The app's resource and links. Everything here is the server's own fixed
// text: the page is not bounded by --max-result-bytes, while its entry of
// resources/list is counted like every other entry.
#include "mcp/app.h"

#include <string>

#include "common/json.h"
#include "mcp/app_page.h"

namespace kestrova::tools::mcp {
namespace {

constexpr std::string_view kAppName = "grid";
constexpr std::string_view kAppTitle = "Rows";
constexpr std::string_view kAppDescription =
    "A sortable grid of the rows read_query read, for the person to look through; "
    "it reads further pages with read_query.";

// Whether the JSON array `list` holds the string `text`.
bool holds_string(yyjson_val* list, std::string_view text) {
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(list, i, n, v) {
    if (yyjson_is_str(v) && std::string_view(yyjson_get_str(v), yyjson_get_len(v)) == text) {
      return true;
    }
  }
  return false;
}

}  // namespace

// See app.h.
bool client_renders_apps(yyjson_val* capabilities) {
  yyjson_val* extensions = yyjson_obj_get(capabilities, "extensions");
  yyjson_val* ui = yyjson_obj_getn(extensions, kAppExtension.data(), kAppExtension.size());
  return holds_string(yyjson_obj_get(ui, "mimeTypes"), kAppMimeType);
}

// See app.h.
void add_app_capability(yyjson_mut_doc* doc, yyjson_mut_val* capabilities) {
  yyjson_mut_val* extensions = yyjson_mut_obj_add_obj(doc, capabilities, "extensions");
  yyjson_mut_val* ui = yyjson_mut_obj(doc);
  yyjson_mut_obj_add(extensions, yyjson_mut_strn(doc, kAppExtension.data(), kAppExtension.size()),
                     ui);
  yyjson_mut_val* types = yyjson_mut_obj_add_arr(doc, ui, "mimeTypes");
  yyjson_mut_arr_add_strn(doc, types, kAppMimeType.data(), kAppMimeType.size());
}

// See app.h.
void add_app_link(yyjson_mut_doc* doc, yyjson_mut_val* tool) {
  yyjson_mut_val* meta = yyjson_mut_obj_add_obj(doc, tool, "_meta");
  yyjson_mut_val* ui = yyjson_mut_obj_add_obj(doc, meta, "ui");
  yyjson_mut_obj_add_strn(doc, ui, "resourceUri", kAppUri.data(), kAppUri.size());
  yyjson_mut_val* visibility = yyjson_mut_obj_add_arr(doc, ui, "visibility");
  yyjson_mut_arr_add_str(doc, visibility, "model");
  yyjson_mut_arr_add_str(doc, visibility, "app");
  yyjson_mut_obj_add_strn(doc, meta, "ui/resourceUri", kAppUri.data(), kAppUri.size());
}

// See app.h.
yyjson_mut_val* app_resource_entry(yyjson_mut_doc* doc) {
  yyjson_mut_val* item = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strn(doc, item, "uri", kAppUri.data(), kAppUri.size());
  yyjson_mut_obj_add_strn(doc, item, "name", kAppName.data(), kAppName.size());
  yyjson_mut_obj_add_strn(doc, item, "title", kAppTitle.data(), kAppTitle.size());
  yyjson_mut_obj_add_strn(doc, item, "description", kAppDescription.data(), kAppDescription.size());
  yyjson_mut_obj_add_strn(doc, item, "mimeType", kAppMimeType.data(), kAppMimeType.size());
  return item;
}

// See app.h.
size_t app_entry_bytes() {
  const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc_set_root(doc.get(), app_resource_entry(doc.get()));
  std::string text, unused;
  write_json(doc.get(), YYJSON_WRITE_NOFLAG, &text, &unused);
  return text.size() + 1;
}

// See app.h.
bool is_app_uri(std::string_view uri) { return uri == kAppUri; }

// See app.h.
RpcReply read_app(yyjson_mut_doc* doc) {
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* contents = yyjson_mut_obj_add_arr(doc, result, "contents");
  yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, contents);
  yyjson_mut_obj_add_strn(doc, item, "uri", kAppUri.data(), kAppUri.size());
  yyjson_mut_obj_add_strn(doc, item, "mimeType", kAppMimeType.data(), kAppMimeType.size());
  yyjson_mut_obj_add_strn(doc, item, "text", reinterpret_cast<const char*>(kGridAppPage),
                          kGridAppPageSize);
  // No origin at all: the page has its script and style inline and reaches
  // the database only through the host.
  yyjson_mut_val* ui =
      yyjson_mut_obj_add_obj(doc, yyjson_mut_obj_add_obj(doc, item, "_meta"), "ui");
  yyjson_mut_val* csp = yyjson_mut_obj_add_obj(doc, ui, "csp");
  yyjson_mut_obj_add_arr(doc, csp, "connectDomains");
  yyjson_mut_obj_add_arr(doc, csp, "resourceDomains");
  yyjson_mut_obj_add_bool(doc, ui, "prefersBorder", true);
  return RpcReply::ok(result);
}

}  // namespace kestrova::tools::mcp
