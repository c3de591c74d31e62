// The one place every reply of the tool server passes through on its way to
// the client. Whatever a method built, the line sent keeps two promises:
// every answer that carries anything from the file or from the client (tool
// results, resources, lists, errors) fits the session's --max-result-bytes,
// and no message quotes more than a short prefix of anything the client sent.
// Only the server's own fixed texts (initialize, tools/list, the grid app's
// page) are exempt.
#ifndef KESTROVA_SQLR_TOOLS_MCP_ANSWER_H_
#define KESTROVA_SQLR_TOOLS_MCP_ANSWER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "mcp/rpc.h"
#include "yyjson.h"

namespace kestrova::tools::mcp {

// The most bytes of one string the client sent that a message may repeat.
constexpr size_t kMaxEchoBytes = 64;

// Put where a text was cut short: U+2026 HORIZONTAL ELLIPSIS.
inline constexpr std::string_view kCutMark = "\xE2\x80\xA6";

// The longest error message or tool error text, as written in JSON.
constexpr size_t kMaxErrorBytes = 1024;

// Bytes of the budget kept for the members around an error's text: its code,
// or a tool error's content item and isError.
constexpr size_t kErrorEnvelopeBytes = 128;

// The bytes of `text` once written as the content of a JSON string.
size_t json_string_bytes(std::string_view text);

// `text` (UTF-8) cut at a character boundary so that, written as the content
// of a JSON string, it takes at most `max_bytes` bytes, kCutMark included when
// anything was cut. Unchanged when it fits.
std::string cut_text(std::string_view text, size_t max_bytes);

// What a message of the server says of `text`, a string the client sent: its
// first kMaxEchoBytes bytes (at a character boundary) and kCutMark when it is
// longer, else the whole of it.
std::string quoted(std::string_view text);

// `message` with every run of more than kMaxEchoBytes bytes that also stands
// in a string of `request` (any key or value, at any depth; null: none) cut
// to its first kMaxEchoBytes bytes and kCutMark. Runs are found with a
// rolling hash, so a request string of many megabytes is read once.
std::string cut_echoes(std::string_view message, yyjson_val* request);

// A tools/call result that is a tool error: {"content":[{"type":"text",
// "text":`text`}],"isError":true}, the text copied into `doc`.
yyjson_mut_val* tool_error_result(yyjson_mut_doc* doc, std::string_view text);

// What a reply answers: the request as read (null when it could not be) and
// its method ("" when unknown).
struct Asked {
  yyjson_val* request = nullptr;
  std::string_view method;
};

// Whether the request answers with the server's own fixed text, which the
// budget does not bound: initialize, tools/list, and resources/read of the
// grid app's page (mcp/app.h).
bool fixed_answer(const Asked& asked);

// Writes the reply `reply` to the request `id` (null when unknown) as one
// JSON-RPC line ending in '\n' into `line`, building in `doc`:
// {"jsonrpc":"2.0","id":..,"result"|"error":..}. Unless `asked` is a
// fixed_answer, the result or error as written takes at most `max_bytes`:
// error messages and tool error texts have what they quote of the request
// cut (cut_echoes) and are cut to fit; a result that still does not fit is
// replaced by a tool error (tools/call) or an internal error (any other
// method) that says how large it would have been. False, with yyjson's
// reason in `error`, when the reply cannot be written.
bool reply_line(yyjson_mut_doc* doc, yyjson_val* id, const RpcReply& reply, const Asked& asked,
                size_t max_bytes, std::string* line, std::string* error);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_ANSWER_H_
