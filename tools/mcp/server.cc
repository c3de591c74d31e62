// The JSON-RPC side of the server: the request envelope, the methods and
// replies (McpSession), and the line framing of standard input and output.
// The tools themselves are in tools.cc; the HTTP transport is in
// http_transport.cc.
#include "mcp/server.h"

#include <optional>
#include <string>

#include "common/console_io.h"
#include "common/json.h"
#include "mcp/answer.h"
#include "mcp/app.h"
#include "mcp/json_keys.h"
#include "mcp/resources.h"
#include "mcp/rpc.h"
#include "mcp/tools.h"

namespace kestrova::tools::mcp {
namespace {

enum class Line { kMessage, kTooLong, kEnd };

// Reads one line of `in` without its '\n' into `line`. A last line without a
// '\n' still counts. A line longer than kMaxMessageBytes is read to its end
// but not kept (kTooLong). kEnd when the input has ended (or fails) first.
Line read_line(std::FILE* in, std::string* line) {
  line->clear();
  bool any = false, too_long = false;
  int c;
  while ((c = std::getc(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line->size() < kMaxMessageBytes) {
      line->push_back(static_cast<char>(c));
    } else if (!too_long) {
      too_long = true;
      std::string().swap(*line);
    }
  }
  if (!any) return Line::kEnd;
  return too_long ? Line::kTooLong : Line::kMessage;
}

// Whether `line` holds only JSON whitespace (a blank line is no message).
bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// A valid JSON-RPC id: a string, a number (big ones are read as raw text and
// echoed as written) or null, of at most kMaxIdBytes, since every reply
// repeats it.
bool valid_id(yyjson_val* id) {
  if (yyjson_is_str(id) || yyjson_is_raw(id)) return yyjson_get_len(id) <= kMaxIdBytes;
  return yyjson_is_num(id) || yyjson_is_null(id);
}

// "'KEY'" for a message, KEY cut short when it is long.
std::string key_named(std::string_view key) { return "'" + quoted(key) + "'"; }

// The protocol versions from which results carry structuredContent, and from
// which arguments that break a tool's schema are a tool error.
constexpr std::string_view kStructuredSince = "2025-06-18";
constexpr std::string_view kArgumentErrorsAsResultsSince = "2025-11-25";

}  // namespace

// The conversation behind McpSession (see server.h). send() leaves the reply
// line in `reply_`.
class McpSession::Server {
 public:
  Server(McpDatabase* db, size_t max_result_bytes, std::string_view version) : version_(version) {
    session_.db = db;
    session_.max_result_bytes = max_result_bytes;
  }

  // Answers one message into `reply_` (left empty when nothing is due).
  // False when the reply could not be written.
  bool answer(std::string_view line) {
    reply_.clear();
    unreadable_ = false;
    if (blank(line)) return true;
    asked_ = Asked{};
    std::string why;
    const ParsedDoc request = read_json(line, YYJSON_READ_BIGNUM_AS_RAW, &why);
    if (request == nullptr) return send_error(nullptr, kRpcParseError, "parse error: " + why);
    yyjson_val* root = yyjson_doc_get_root(request.get());
    if (yyjson_is_arr(root)) {
      return send_error(nullptr, kRpcInvalidRequest,
                        "batches are not supported: send one request per line");
    }
    if (!yyjson_is_obj(root)) {
      return send_error(nullptr, kRpcInvalidRequest, "a request must be a JSON object");
    }
    asked_ = Asked{root, {}};
    std::string_view twice;
    if (repeats_a_key(root, &twice)) {
      // Which id (or method, or params) was meant is unknown: none is used.
      return send_error(
          nullptr, kRpcInvalidRequest,
          "the request names the key " + key_named(twice) + " twice: give each key once");
    }
    yyjson_val* id = yyjson_obj_get(root, "id");
    yyjson_val* method = yyjson_obj_get(root, "method");
    if (id != nullptr && !valid_id(id)) {
      return send_error(nullptr, kRpcInvalidRequest,
                        "id must be a string, a number or null, of at most " +
                            std::to_string(kMaxIdBytes) + " bytes");
    }
    if (!yyjson_is_str(method)) {
      // A reply to a request of ours: the server sends none, so none is awaited.
      if (yyjson_obj_get(root, "result") != nullptr || yyjson_obj_get(root, "error") != nullptr) {
        return true;
      }
      return send_error(id, kRpcInvalidRequest, "a request needs a method");
    }
    if (id == nullptr) return true;  // a notification: nothing to answer
    if (!yyjson_equals_str(yyjson_obj_get(root, "jsonrpc"), "2.0")) {
      return send_error(id, kRpcInvalidRequest, "jsonrpc must be \"2.0\"");
    }
    yyjson_val* params = yyjson_obj_get(root, "params");
    if (params != nullptr && !yyjson_is_obj(params)) {
      return send_error(id, kRpcInvalidParams, "params must be an object");
    }
    const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
    if (doc == nullptr) return send_error(id, kRpcInternalError, "out of memory");
    const std::string_view name(yyjson_get_str(method), yyjson_get_len(method));
    asked_.method = name;
    if (std::optional<RpcReply> refused = refuse_duplicate_keys(name, root, params, doc.get())) {
      return send(doc.get(), id, *refused);
    }
    return send(doc.get(), id, dispatch(name, params, doc.get()));
  }

  // The reply of the last answer ("" when none was due), taken away.
  std::string take_reply() { return std::move(reply_); }
  // Whether the last answer refused a message that could not be read as a
  // request (its reply has a null id).
  bool unreadable() const { return unreadable_; }
  // The protocol version agreed at initialize; "" before.
  std::string_view agreed() const { return agreed_; }

  // Answers a line that was too long to read.
  bool answer_too_long() {
    reply_.clear();
    asked_ = Asked{};
    return send_error(
        nullptr, kRpcParseError,
        "parse error: message longer than " + std::to_string(kMaxMessageBytes >> 20) + " MiB");
  }

 private:
  // A request that names a key twice anywhere has no one meaning: the
  // answer that refuses it, or nothing when every key is named once. In a
  // tool's arguments that is an argument error (a tool error where the
  // session says so); elsewhere in params, invalid params; anywhere else in
  // the request, an invalid request.
  std::optional<RpcReply> refuse_duplicate_keys(std::string_view method, yyjson_val* root,
                                                yyjson_val* params, yyjson_mut_doc* doc) const {
    std::string_view twice;
    yyjson_val* arguments = yyjson_obj_get(params, "arguments");
    if (method == "tools/call" && has_duplicate_key(arguments, &twice)) {
      const std::string why =
          "the arguments name the key " + key_named(twice) + " twice: give each argument once";
      if (session_.argument_errors_as_results) return RpcReply::ok(tool_error_result(doc, why));
      return RpcReply::error(kRpcInvalidParams, why);
    }
    if (has_duplicate_key(params, &twice)) {
      return RpcReply::error(kRpcInvalidParams, "params name the key " + key_named(twice) +
                                                    " twice: give each key once");
    }
    if (has_duplicate_key(root, &twice)) {
      return RpcReply::error(kRpcInvalidRequest, "the request names the key " + key_named(twice) +
                                                     " twice: give each key once");
    }
    return std::nullopt;
  }

  // Runs `method`, building its result in `doc`.
  RpcReply dispatch(std::string_view method, yyjson_val* params, yyjson_mut_doc* doc) {
    if (method == "initialize") return initialize(params, doc);
    if (method == "ping") return RpcReply::ok(yyjson_mut_obj(doc));
    if (method == "tools/list") return list_tools(session_, doc);
    if (method == "tools/call") return call_tool(session_, params, doc);
    if (method == "resources/list") {
      return list_resources(session_.db, params, session_.max_result_bytes, session_.apps, doc);
    }
    if (method == "resources/read") return read_resource(session_.db, params, doc);
    if (method == "resources/templates/list") {
      yyjson_mut_val* result = yyjson_mut_obj(doc);
      yyjson_mut_obj_add_arr(doc, result, "resourceTemplates");
      return RpcReply::ok(result);
    }
    return RpcReply::error(kRpcMethodNotFound, "method not found: " + quoted(method));
  }

  // Agrees on the client's protocol version when the server speaks it, else
  // offers its newest; the client then decides whether to go on. Until a
  // client has agreed on a version, the oldest one's conventions hold.
  RpcReply initialize(yyjson_val* params, yyjson_mut_doc* doc) {
    yyjson_val* asked = yyjson_obj_get(params, "protocolVersion");
    if (!yyjson_is_str(asked)) {
      return RpcReply::error(kRpcInvalidParams, "initialize needs the client's protocolVersion");
    }
    std::string_view agreed = kMcpVersions[0];
    for (std::string_view v : kMcpVersions) {
      if (v == std::string_view(yyjson_get_str(asked), yyjson_get_len(asked))) agreed = v;
    }
    // The dates compare as text.
    session_.structured = agreed >= kStructuredSince;
    session_.argument_errors_as_results = agreed >= kArgumentErrorsAsResultsSince;
    session_.apps = client_renders_apps(yyjson_obj_get(params, "capabilities"));
    agreed_ = agreed;
    const bool writable = session_.db->writable();
    yyjson_mut_val* result = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_strn(doc, result, "protocolVersion", agreed.data(), agreed.size());
    yyjson_mut_val* capabilities = yyjson_mut_obj_add_obj(doc, result, "capabilities");
    yyjson_mut_obj_add_obj(doc, capabilities, "tools");
    yyjson_mut_obj_add_obj(doc, capabilities, "resources");
    if (session_.apps) add_app_capability(doc, capabilities);
    yyjson_mut_val* info = yyjson_mut_obj_add_obj(doc, result, "serverInfo");
    yyjson_mut_obj_add_str(doc, info, "name", "kestrova-sqlr");
    yyjson_mut_obj_add_strn(doc, info, "version", version_.data(), version_.size());
    yyjson_mut_obj_add_str(
        doc, result, "instructions",
        writable ? "One SQLite database. list_tables and describe_table show its structure; "
                   "read_query runs one read-only statement and returns a page of rows; "
                   "write_query runs one UPDATE or DELETE."
                 : "One SQLite database, open read-only. list_tables and describe_table show "
                   "its structure; read_query runs one read-only statement and returns a page "
                   "of rows. Nothing can change the database.");
    return RpcReply::ok(result);
  }

  // Writes the reply to `id` as one line, within the session's budget (see
  // reply_line).
  bool send(yyjson_mut_doc* doc, yyjson_val* id, const RpcReply& reply) {
    std::string line, why;
    if (!reply_line(doc, id, reply, asked_, session_.max_result_bytes, &line, &why)) {
      // Never expected (every text is UTF-8 by now); the client still gets an answer.
      if (reply.error_code == kRpcInternalError) return false;
      const BuiltDoc fallback(yyjson_mut_doc_new(nullptr));
      return fallback != nullptr &&
             send(fallback.get(), id,
                  RpcReply::error(kRpcInternalError, "cannot write the reply: " + why));
    }
    reply_ = std::move(line);
    return true;
  }

  // Replies with an error to the request `id` (null when it is unknown: the
  // message could not be read as a request).
  bool send_error(yyjson_val* id, int code, const std::string& message) {
    if (id == nullptr) unreadable_ = true;
    const BuiltDoc doc(yyjson_mut_doc_new(nullptr));
    return doc != nullptr && send(doc.get(), id, RpcReply::error(code, message));
  }

  ToolSession session_;
  // The request being answered (valid while answer() runs).
  Asked asked_;
  std::string_view version_;
  std::string reply_;
  bool unreadable_ = false;
  std::string_view agreed_;  // one of kMcpVersions
};

McpSession::McpSession(McpDatabase* db, size_t max_result_bytes, std::string_view version)
    : server_(std::make_unique<Server>(db, max_result_bytes, version)) {}

McpSession::~McpSession() = default;

// See server.h.
McpAnswer McpSession::answer(std::string_view message) {
  McpAnswer a;
  a.written = server_->answer(message);
  a.text = server_->take_reply();
  a.unreadable = server_->unreadable();
  return a;
}

// See server.h.
McpAnswer McpSession::answer_too_long() {
  McpAnswer a;
  a.written = server_->answer_too_long();
  a.text = server_->take_reply();
  a.unreadable = true;
  return a;
}

// See server.h.
std::string_view McpSession::agreed_version() const { return server_->agreed(); }

// See server.h.
int serve_mcp(McpDatabase* db, size_t max_result_bytes, std::string_view version, std::FILE* in,
              std::FILE* out) {
  McpSession session(db, max_result_bytes, version);
  std::string line;
  for (;;) {
    const Line got = read_line(in, &line);
    if (got == Line::kEnd) return 0;
    const McpAnswer answer =
        got == Line::kTooLong ? session.answer_too_long() : session.answer(line);
    std::fwrite(answer.text.data(), 1, answer.text.size(), out);
    if (!answer.written || std::fflush(out) != 0 || std::ferror(out)) {
      std::fprintf(stderr, "kestrova-sqlr: cannot write to the client; stopping\n");
      return 1;
    }
  }
}

// See server.h.
bool first_open(McpDatabase* db) {
  std::string why;
  if (db->handle(&why) >= 0) return true;
  // Only a file that is there can become readable; nothing is created.
  if (!regular_file_exists(db->path())) {
    std::fprintf(stderr, "kestrova-sqlr: %s\n", why.c_str());
    return false;
  }
  std::fprintf(stderr, "kestrova-sqlr: %s; trying again at each request\n", why.c_str());
  return true;
}

// See server.h.
int run_mcp_server(const std::string& path, bool writable, size_t max_result_bytes,
                   std::string_view version) {
  McpDatabase db(path, writable);
  if (!first_open(&db)) return 1;
  use_stdio_for_protocol();
  std::fprintf(stderr, "kestrova-sqlr: serving %s (%s) over MCP on standard input/output\n",
               path.c_str(), writable ? "writable" : "read-only");
  return serve_mcp(&db, max_result_bytes, version, stdin, stdout);
}

}  // namespace kestrova::tools::mcp
