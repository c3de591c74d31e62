// Replies are written member by member: the result (or error) first, on its
// own, so that its size is known before the envelope around it is added.
#include "mcp/answer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/json.h"
#include "mcp/app.h"

namespace kestrova::tools::mcp {
namespace {

// A message is searched for echoes in its first this many bytes only; what
// follows is cut anyway, as no message is longer than kMaxErrorBytes.
constexpr size_t kMaxSearchedBytes = 16384;

// Echoes are found as windows of this many bytes that stand in both texts.
constexpr size_t kWindow = kMaxEchoBytes + 1;

// The bits of the filter that passes over most windows of a request's
// string before any lookup.
constexpr unsigned kFilterBits = 16;

// The bytes `c` takes once yyjson writes it inside a JSON string: '"', '\\'
// and the control characters are escaped, the common ones in two bytes and
// the rest as \u00XX; every other byte is kept as it is.
size_t escaped_cost(unsigned char c) {
  if (c == '"' || c == '\\') return 2;
  if (c < 0x20) return (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') ? 2 : 6;
  return 1;
}

// Whether byte `c` continues a UTF-8 sequence (a cut never falls before one).
bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// `text` cut to at most `max_bytes` bytes at a character boundary.
std::string_view head(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  while (cut > 0 && continuation(text[cut])) --cut;
  return text.substr(0, cut);
}

// Every string of the tree of `root` (keys too) long enough to be echoed.
std::vector<std::string_view> long_strings(yyjson_val* root) {
  std::vector<std::string_view> found;
  std::vector<yyjson_val*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    yyjson_val* val = pending.back();
    pending.pop_back();
    if (yyjson_is_str(val)) {
      if (yyjson_get_len(val) >= kWindow)
        found.emplace_back(yyjson_get_str(val), yyjson_get_len(val));
    } else if (yyjson_is_obj(val)) {
      yyjson_obj_iter it = yyjson_obj_iter_with(val);
      while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
        pending.push_back(key);
        pending.push_back(yyjson_obj_iter_get_val(key));
      }
    } else if (yyjson_is_arr(val)) {
      yyjson_arr_iter it = yyjson_arr_iter_with(val);
      while (yyjson_val* item = yyjson_arr_iter_next(&it)) pending.push_back(item);
    }
  }
  return found;
}

// The hashes of every kWindow-byte window of a text, by rolling: each step
// drops the oldest byte and takes in the next. The base is odd (every power
// a unit mod 2^64) and drawn once per process, so that no client can make
// windows collide on purpose.
class RollingHash {
 public:
  RollingHash() : base_(process_base()) {
    for (size_t i = 1; i < kWindow; ++i) top_ *= base_;  // base^(kWindow-1)
  }
  // The hash of the window starting at `p`.
  uint64_t first(const char* p) const {
    uint64_t h = 0;
    for (size_t i = 0; i < kWindow; ++i) h = h * base_ + static_cast<unsigned char>(p[i]);
    return h;
  }
  // The hash of the window one byte on from the one at `p`, whose hash is `h`.
  uint64_t next(uint64_t h, const char* p) const {
    return (h - top_ * static_cast<unsigned char>(p[0])) * base_ +
           static_cast<unsigned char>(p[kWindow]);
  }

 private:
  static uint64_t process_base() {
    static const uint64_t base = [] {
      std::random_device seed;
      return ((uint64_t{seed()} << 32) ^ seed()) | 1;
    }();
    return base;
  }
  uint64_t base_;
  uint64_t top_ = 1;
};

// The windows of a message with the same bytes: found together, once.
struct WindowGroup {
  const char* bytes;
  std::vector<size_t> positions;
};

// Marks in `covered` the bytes of `message` that belong to a window standing
// in one of `sources` too. Each group of equal windows leaves the search once
// found, so a message and a source that repeat one byte cost no more than
// two that do not: the work is the sources' length and the message's.
void mark_echoes(std::string_view message, const std::vector<std::string_view>& sources,
                 std::vector<bool>* covered) {
  const RollingHash hash;
  std::unordered_map<uint64_t, std::vector<WindowGroup>> groups;
  std::vector<uint64_t> filter((size_t{1} << kFilterBits) / 64);
  const auto slot = [](uint64_t h) { return static_cast<size_t>(h >> (64 - kFilterBits)); };
  uint64_t h = hash.first(message.data());
  for (size_t at = 0;; ++at) {
    std::vector<WindowGroup>& same_hash = groups[h];
    const char* bytes = message.data() + at;
    auto group = std::find_if(same_hash.begin(), same_hash.end(), [&](const WindowGroup& g) {
      return std::memcmp(g.bytes, bytes, kWindow) == 0;
    });
    if (group == same_hash.end()) group = same_hash.insert(same_hash.end(), {bytes, {}});
    group->positions.push_back(at);
    filter[slot(h) / 64] |= uint64_t{1} << (slot(h) % 64);
    if (at + kWindow >= message.size()) break;
    h = hash.next(h, message.data() + at);
  }
  for (std::string_view source : sources) {
    h = hash.first(source.data());
    for (size_t at = 0; !groups.empty(); ++at) {
      if ((filter[slot(h) / 64] >> (slot(h) % 64)) & 1) {
        const auto found = groups.find(h);
        if (found != groups.end()) {
          std::vector<WindowGroup>& same_hash = found->second;
          for (size_t g = 0; g < same_hash.size(); ++g) {
            if (std::memcmp(same_hash[g].bytes, source.data() + at, kWindow) != 0) continue;
            for (size_t p : same_hash[g].positions) {
              std::fill_n(covered->begin() + static_cast<std::ptrdiff_t>(p), kWindow, true);
            }
            same_hash.erase(same_hash.begin() + static_cast<std::ptrdiff_t>(g));
            break;
          }
          if (same_hash.empty()) groups.erase(found);
        }
      }
      if (at + kWindow >= source.size()) break;
      h = hash.next(h, source.data() + at);
    }
  }
}

// Frees what yyjson's writer returned.
struct FreeText {
  void operator()(char* p) const noexcept { std::free(p); }
};

// Writes `val` as compact JSON into `out`; false with yyjson's reason.
bool write_value(yyjson_mut_val* val, std::string* out, std::string* error) {
  yyjson_write_err err{};
  size_t len = 0;
  const std::unique_ptr<char, FreeText> text(
      yyjson_mut_val_write_opts(val, YYJSON_WRITE_NOFLAG, nullptr, &len, &err));
  if (text == nullptr) {
    *error = err.msg != nullptr ? err.msg : "cannot write JSON";
    return false;
  }
  out->assign(text.get(), len);
  return true;
}

// {"code":..,"message":..}, the message copied.
yyjson_mut_val* error_value(yyjson_mut_doc* doc, int code, std::string_view message) {
  yyjson_mut_val* error = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_int(doc, error, "code", code);
  yyjson_mut_obj_add_strncpy(doc, error, "message", message.data(), message.size());
  return error;
}

// The room of an error's text within `max_bytes`.
size_t error_room(size_t max_bytes) {
  const size_t room =
      max_bytes > 2 * kErrorEnvelopeBytes ? max_bytes - kErrorEnvelopeBytes : kErrorEnvelopeBytes;
  return std::min(room, kMaxErrorBytes);
}

// A message for the client: valid UTF-8, its echoes of `request` cut, and
// short enough for `room`.
std::string bounded_message(std::string_view message, yyjson_val* request, size_t room) {
  return cut_text(cut_echoes(valid_utf8(message), request), room);
}

// Cuts the texts of a tool error (a result with "isError": true) as error
// messages are cut. Other results are left as they are: what they carry is
// the answer, bounded as a whole.
void bound_tool_error(yyjson_mut_doc* doc, yyjson_mut_val* result, yyjson_val* request,
                      size_t room) {
  if (!yyjson_mut_is_true(yyjson_mut_obj_get(result, "isError"))) return;
  yyjson_mut_val* content = yyjson_mut_obj_get(result, "content");
  yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(content);
  while (yyjson_mut_val* item = yyjson_mut_arr_iter_next(&it)) {
    yyjson_mut_val* text = yyjson_mut_obj_get(item, "text");
    if (!yyjson_mut_is_str(text)) continue;
    const std::string cut = bounded_message(
        std::string_view(yyjson_mut_get_str(text), yyjson_mut_get_len(text)), request, room);
    yyjson_mut_obj_replace(item, yyjson_mut_str(doc, "text"),
                           yyjson_mut_strncpy(doc, cut.data(), cut.size()));
  }
}

// What the client is told to do instead of an answer of `method` that is too
// large.
std::string_view narrower(std::string_view method) {
  if (method == "resources/read") {
    return "read the table's columns page by page with the read_query tool: SELECT * FROM "
           "pragma_table_info('table name')";
  }
  return "ask for less (fewer rows or columns, or shorter values with substr)";
}

}  // namespace

// See answer.h.
size_t json_string_bytes(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += escaped_cost(static_cast<unsigned char>(c));
  return n;
}

// See answer.h.
std::string cut_text(std::string_view text, size_t max_bytes) {
  if (text.empty()) return {};
  size_t spent = 0, fits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    spent += escaped_cost(static_cast<unsigned char>(text[i]));
    if (spent > max_bytes) break;
    if (i + 1 == text.size()) return std::string(text);
    if (spent + kCutMark.size() <= max_bytes && !continuation(text[i + 1])) fits = i + 1;
  }
  std::string out(text.substr(0, fits));
  if (kCutMark.size() <= max_bytes) out += kCutMark;
  return out;
}

// See answer.h.
std::string quoted(std::string_view text) {
  if (text.size() <= kMaxEchoBytes) return std::string(text);
  return std::string(head(text, kMaxEchoBytes)) + std::string(kCutMark);
}

// See answer.h.
std::string cut_echoes(std::string_view message, yyjson_val* request) {
  message = head(message, kMaxSearchedBytes);
  if (message.size() <= kMaxEchoBytes) return std::string(message);
  std::vector<bool> covered(message.size());
  const std::vector<std::string_view> sources = long_strings(request);
  if (!sources.empty()) mark_echoes(message, sources, &covered);
  std::string out;
  out.reserve(message.size());
  for (size_t i = 0; i < message.size();) {
    if (!covered[i]) {
      out.push_back(message[i++]);
      continue;
    }
    size_t end = i;
    while (end < message.size() && covered[end]) ++end;
    out += head(message.substr(i, end - i), kMaxEchoBytes);
    out += kCutMark;
    // The rest of the echoed run, up to the next character, is left out.
    i = end;
    while (i < message.size() && continuation(message[i])) ++i;
  }
  return out;
}

// See answer.h.
yyjson_mut_val* tool_error_result(yyjson_mut_doc* doc, std::string_view text) {
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* content = yyjson_mut_obj_add_arr(doc, result, "content");
  yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, content);
  yyjson_mut_obj_add_str(doc, item, "type", "text");
  yyjson_mut_obj_add_strncpy(doc, item, "text", text.data(), text.size());
  yyjson_mut_obj_add_bool(doc, result, "isError", true);
  return result;
}

// See answer.h.
bool fixed_answer(const Asked& asked) {
  if (asked.method == "initialize" || asked.method == "tools/list") return true;
  if (asked.method != "resources/read") return false;
  yyjson_val* uri = yyjson_obj_get(yyjson_obj_get(asked.request, "params"), "uri");
  return yyjson_is_str(uri) &&
         is_app_uri(std::string_view(yyjson_get_str(uri), yyjson_get_len(uri)));
}

// See answer.h.
bool reply_line(yyjson_mut_doc* doc, yyjson_val* id, const RpcReply& reply, const Asked& asked,
                size_t max_bytes, std::string* line, std::string* error) {
  const size_t room = error_room(max_bytes);
  bool is_error = reply.error_code != 0;
  yyjson_mut_val* value = nullptr;
  if (is_error) {
    value = error_value(doc, reply.error_code,
                        bounded_message(reply.error_message, asked.request, room));
  } else {
    value = reply.result != nullptr ? reply.result : yyjson_mut_obj(doc);
    if (asked.method == "tools/call") bound_tool_error(doc, value, asked.request, room);
  }
  std::string text;
  if (!write_value(value, &text, error)) return false;
  if (!is_error && !fixed_answer(asked) && text.size() > max_bytes) {
    const std::string why = "the answer would take " + std::to_string(text.size()) +
                            " bytes, more than the limit of " + std::to_string(max_bytes) +
                            " bytes: " + std::string(narrower(asked.method));
    if (asked.method == "tools/call") {
      value = tool_error_result(doc, cut_text(why, room));
    } else {
      value = error_value(doc, kRpcInternalError, cut_text(why, room));
      is_error = true;
    }
    if (!write_value(value, &text, error)) return false;
  }
  std::string id_text = "null";
  if (id != nullptr && !write_json(id, YYJSON_WRITE_NOFLAG, &id_text, error)) return false;
  line->clear();
  line->reserve(text.size() + id_text.size() + 40);
  *line += "{\"jsonrpc\":\"2.0\",\"id\":";
  *line += id_text;
  *line += is_error ? ",\"error\":" : ",\"result\":";
  *line += text;
  *line += "}\n";
  return true;
}

}  // namespace kestrova::tools::mcp
