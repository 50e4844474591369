// The process's one JSON-RPC 1.0 client of the rank service.
#pragma once
#include "rpc/ContentEncoder.h"
#include "rpc/HttpClient.h"
#include "rpc/JsonValue.h"
#include "vpk/singleton.h"
#include <memory>
#include <string>

namespace ZorvanRpc {

class RpcClient : public HttpClient, public vpk::singleton<RpcClient> {
public:
    RpcClient();
    ~RpcClient() override;

    // Posts one call and waits for the client to drain. True: answer holds the
    // raw text received (status line, headers and what came with them).
    bool call(const std::string& method, const std::string& path, const JsonValue& params, const std::string& agent,
        DWORD timeout_ms, std::string& answer);

private:
    int request_id_;
    std::shared_ptr<ContentEncoder> encoder_;
};

}  // namespace ZorvanRpc
