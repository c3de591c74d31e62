// kestrova-sqlr mcp --http: the tool server over the protocol's Streamable
// HTTP transport, for clients that connect rather than start it, on the HTTP
// server every host shares (common/http_server.h: the whole-request deadline,
// the connection cap, the head and body caps, no Content-Encoding).
//
// One endpoint, http://127.0.0.1:PORT/mcp. Before anything is read of a
// request's body, in this order: a Host other than 127.0.0.1:PORT or
// localhost:PORT, or an Origin other than that same origin, is 403 (a
// DNS-rebinding page, a page of another site or port); a missing or wrong
// `Authorization: Bearer TOKEN` is 401 with WWW-Authenticate; another path
// is 404 and a query string 400 (the token is never taken from the URL, where
// logs and histories keep it); GET (a stream from the server, which has
// nothing to send unasked) and any other method but POST and DELETE are 405.
//
// POST carries one JSON-RPC message as application/json (else 415) from a
// client that accepts application/json (else 406); a request is answered
// 200 with one JSON reply, a notification or a reply to the server 202 with
// no body, a message that cannot be read as a request 400 with its JSON-RPC
// error. initialize, sent without a session, opens one: its answer carries
// Mcp-Session-Id, which every later request must carry (400 when it does not,
// 404 when it names no live session). An MCP-Protocol-Version header must
// name a version the server speaks and, in a session, the one it agreed (400
// otherwise). DELETE with Mcp-Session-Id ends that session (200, no body).
#ifndef KESTROVA_SQLR_TOOLS_MCP_HTTP_TRANSPORT_H_
#define KESTROVA_SQLR_TOOLS_MCP_HTTP_TRANSPORT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova::tools::mcp {

// The one path served.
constexpr char kMcpHttpPath[] = "/mcp";
// Random bytes in the token (written as twice as many hex digits).
constexpr size_t kMcpTokenBytes = 16;
// The largest request body; a larger one is 413, refused as it passes the cap.
constexpr size_t kMaxHttpMessageBytes = size_t{1} << 20;
// The JSON-RPC code in the body of a request the transport refuses.
constexpr int kRpcTransportRefused = -32000;

// `kestrova-sqlr mcp DB --http [--port N]`: serves the file at `path` (as
// run_mcp_server does: a missing file fails at once, one that cannot be
// opened yet is tried again at each request) on 127.0.0.1:`port` (0: any free
// port). Prints one line on standard output, "http://127.0.0.1:PORT/mcp
// TOKEN", and serves until the end of standard input (when it is not a
// terminal) or until the process is interrupted. Returns the exit status:
// 0 when the input ended, 1 when the port cannot be listened on or the file
// is missing.
int run_mcp_http_server(const std::string& path, bool writable, size_t max_result_bytes,
                        std::string_view version, int port);

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_HTTP_TRANSPORT_H_
