// The text of one JSON-RPC 1.0 call as the rank service receives it, and the
// reading of its answer. No Windows calls: built natively too.
#pragma once
#include "rpc/ContentEncoder.h"
#include "rpc/JsonValue.h"
#include <string>

namespace ZorvanRpc {

// The envelope {agent, id, method, params, version} (members in key order),
// encoded, framed as an HTTP/1.1 POST to path on host, plus a closing CR LF
// that Content-Length does not count.
std::string BuildRpcRequest(int id, const std::string& method, const std::string& path, const JsonValue& params,
    const std::string& agent, const std::string& host, const ContentEncoder& encoder);

// The call's "result" string as it stands in the answer (escapes kept), or
// empty when the answer lacks a version, code, id or string result.
void ParseRpcResult(const std::string& answer, std::string& result);

}  // namespace ZorvanRpc
