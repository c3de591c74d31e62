// Resources are read from the same descriptions as describe_table, so a
// resource and the tool cannot tell an assistant different things.
#include "mcp/resources.h"

#include <vector>

#include "common/catalogue.h"
#include "common/json.h"
#include "mcp/answer.h"
#include "mcp/app.h"
#include "mcp/cursor.h"

namespace kestrova::tools::mcp {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// The value of one hexadecimal digit, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The table name in `uri`, or false when it is not one of our addresses.
bool name_of_uri(std::string_view uri, std::string* name) {
  if (uri.substr(0, kResourcePrefix.size()) != kResourcePrefix) return false;
  const std::string_view encoded = uri.substr(kResourcePrefix.size());
  name->clear();
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      name->push_back(encoded[i]);
      continue;
    }
    if (i + 2 >= encoded.size()) return false;
    const int hi = hex_value(encoded[i + 1]), lo = hex_value(encoded[i + 2]);
    if (hi < 0 || lo < 0) return false;
    name->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return !name->empty() && name->find('\0') == std::string::npos;
}

// The cursors of resources/list.
constexpr std::string_view kResourcesCursor = "r";

// What a page of resources/list takes besides its entries:
// {"resources":[...],"nextCursor":"..."} with a cursor of at most
// kMaxCursorBytes.
constexpr size_t kListFrameBytes = 64 + kMaxCursorBytes;

// The bytes an entry of resources/list takes as written, with its comma.
size_t entry_bytes(std::string_view uri, std::string_view name, std::string_view description) {
  constexpr std::string_view kFixed =
      R"({"uri":"","name":"","description":"","mimeType":"application/json"},)";
  return kFixed.size() + json_string_bytes(uri) + json_string_bytes(name) +
         json_string_bytes(description);
}

// The catalogue of the open database, or an internal error naming why the
// file cannot be read.
Catalogue* open_catalogue(McpDatabase* db, RpcReply* failure) {
  std::string why;
  Catalogue* catalogue = db->catalogue(&why);
  if (catalogue == nullptr) *failure = RpcReply::error(kRpcInternalError, why);
  return catalogue;
}

}  // namespace

// See mcp_resources.h.
std::string table_uri(std::string_view name) {
  std::string uri(kResourcePrefix);
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      uri.push_back(ch);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 15]);
    }
  }
  return uri;
}

// See mcp_resources.h.
RpcReply list_resources(McpDatabase* db, yyjson_val* params, size_t max_bytes, bool with_app,
                        yyjson_mut_doc* doc) {
  yyjson_val* cursor = yyjson_obj_get(params, "cursor");
  if (cursor != nullptr && !yyjson_is_str(cursor)) {
    return RpcReply::error(kRpcInvalidParams, "cursor must be a string");
  }
  RpcReply failure;
  Catalogue* catalogue = open_catalogue(db, &failure);
  if (catalogue == nullptr) return failure;
  std::vector<CatalogueEntry> entries;
  CatalogueError error;
  if (!catalogue->list(&entries, &error)) return RpcReply::error(kRpcInternalError, error.message);
  // Shadow and internal tables are readable, not offered.
  std::vector<std::string_view> names;
  for (const CatalogueEntry& entry : entries) {
    if (!entry.hidden) names.emplace_back(entry.name);
  }
  size_t start = 0;
  if (cursor != nullptr &&
      !resume_cursor(kResourcesCursor,
                     std::string_view(yyjson_get_str(cursor), yyjson_get_len(cursor)), names,
                     &start)) {
    return RpcReply::error(kRpcInvalidParams,
                           "invalid cursor: not one this server gave for resources/list, or its "
                           "table is gone; list again without a cursor");
  }
  const size_t room = max_bytes > kListFrameBytes ? max_bytes - kListFrameBytes : 0;
  size_t spent = 0;
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* resources = yyjson_mut_obj_add_arr(doc, result, "resources");
  for (size_t at = start; at < names.size(); ++at) {
    const std::string_view table = names[at];
    const std::string uri = table_uri(table);
    const std::string description =
        "Columns, indexes, foreign keys and triggers of " + std::string(table) + ", as JSON.";
    const size_t bytes = entry_bytes(uri, table, description);
    if (bytes > room) continue;  // fits no page
    if (spent + bytes > room) {
      const std::string next = make_cursor(kResourcesCursor, at, names[at - 1]);
      yyjson_mut_obj_add_strncpy(doc, result, "nextCursor", next.data(), next.size());
      break;
    }
    spent += bytes;
    yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, resources);
    yyjson_mut_obj_add_strncpy(doc, item, "uri", uri.data(), uri.size());
    yyjson_mut_obj_add_strncpy(doc, item, "name", table.data(), table.size());
    yyjson_mut_obj_add_strncpy(doc, item, "description", description.data(), description.size());
    yyjson_mut_obj_add_str(doc, item, "mimeType", "application/json");
  }
  // The app ends the list: on the page of the last tables when it fits
  // there, else on a page of its own after them.
  if (with_app && yyjson_mut_obj_get(result, "nextCursor") == nullptr) {
    if (names.empty() || spent + app_entry_bytes() <= room) {
      yyjson_mut_arr_append(resources, app_resource_entry(doc));
    } else {
      const std::string next = make_cursor(kResourcesCursor, names.size(), names.back());
      yyjson_mut_obj_add_strncpy(doc, result, "nextCursor", next.data(), next.size());
    }
  }
  return RpcReply::ok(result);
}

// See mcp_resources.h.
RpcReply read_resource(McpDatabase* db, yyjson_val* params, yyjson_mut_doc* doc) {
  yyjson_val* uri = yyjson_obj_get(params, "uri");
  if (!yyjson_is_str(uri)) return RpcReply::error(kRpcInvalidParams, "resources/read needs a uri");
  const std::string_view address(yyjson_get_str(uri), yyjson_get_len(uri));
  if (is_app_uri(address)) return read_app(doc);
  std::string name;
  if (!name_of_uri(address, &name)) {
    return RpcReply::error(kRpcResourceNotFound, "resource not found: " + quoted(address));
  }
  RpcReply failure;
  Catalogue* catalogue = open_catalogue(db, &failure);
  if (catalogue == nullptr) return failure;  // not yet readable is not missing
  std::string json;
  CatalogueError error;
  if (!catalogue->describe_json(name, &json, &error)) {
    return error.not_found
               ? RpcReply::error(kRpcResourceNotFound, "resource not found: " + quoted(address))
               : RpcReply::error(kRpcInternalError, error.message);
  }
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* contents = yyjson_mut_obj_add_arr(doc, result, "contents");
  yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, contents);
  yyjson_mut_obj_add_val(doc, item, "uri", yyjson_val_mut_copy(doc, uri));
  yyjson_mut_obj_add_str(doc, item, "mimeType", "application/json");
  yyjson_mut_obj_add_strncpy(doc, item, "text", json.data(), json.size());
  return RpcReply::ok(result);
}

}  // namespace kestrova::tools::mcp
