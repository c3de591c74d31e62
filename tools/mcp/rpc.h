// What a JSON-RPC method of the tool server answers: a result built into the
// reply's document, or one of JSON-RPC's error codes with a message.
#ifndef KESTROVA_SQLR_TOOLS_MCP_RPC_H_
#define KESTROVA_SQLR_TOOLS_MCP_RPC_H_

#include <string>

#include "yyjson.h"

namespace kestrova::tools::mcp {

// JSON-RPC 2.0's reserved error codes.
constexpr int kRpcParseError = -32700;
constexpr int kRpcInvalidRequest = -32600;
constexpr int kRpcMethodNotFound = -32601;
constexpr int kRpcInvalidParams = -32602;
constexpr int kRpcInternalError = -32603;

// `result` when the method succeeded (error_code 0), else the error.
struct RpcReply {
  yyjson_mut_val* result = nullptr;
  int error_code = 0;
  std::string error_message;

  static RpcReply ok(yyjson_mut_val* result) { return {result, 0, {}}; }
  static RpcReply error(int code, std::string message) {
    return {nullptr, code, std::move(message)};
  }
};

}  // namespace kestrova::tools::mcp

#endif  // KESTROVA_SQLR_TOOLS_MCP_RPC_H_
