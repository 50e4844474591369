#include "rpc/RpcClient.h"
#include "rpc/RpcRequest.h"

namespace ZorvanRpc {

RpcClient::RpcClient() : request_id_(0), encoder_(std::make_shared<PlainTextContentEncoder>()) {}

RpcClient::~RpcClient()
{
    encoder_.reset();
}

bool RpcClient::call(const std::string& method, const std::string& path, const JsonValue& params,
    const std::string& agent, DWORD timeout_ms, std::string& answer)
{
    // Ids only label requests in the service's log; nothing pairs them with
    // answers, so the counter needs no lock.
    const int id = ++request_id_;
    return transact(BuildRpcRequest(id, method, path, params, agent, host_name(), *encoder_), timeout_ms, answer);
}

}  // namespace ZorvanRpc
