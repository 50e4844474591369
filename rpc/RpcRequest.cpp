#include "rpc/RpcRequest.h"
#include "regex/regex.h"
#include <cstdio>
#include <sstream>
#include <vector>

namespace ZorvanRpc {

std::string BuildRpcRequest(int id, const std::string& method, const std::string& path,
                            const JsonValue& params, const std::string& agent,
                            const std::string& host, const ContentEncoder& encoder)
{
    JsonObject envelope;
    envelope.set("version", JsonString("1.0"));
    envelope.set("id", JsonNumber(static_cast<double>(id)));
    envelope.set("method", JsonString(method));
    envelope.set("params", params);
    envelope.set("agent", JsonString(agent));
    std::ostringstream json;
    envelope.write(json);
    const std::string body = encoder.encode(json.str());

    const char* format = "%s %s HTTP/1.1\r\nHost: %s\r\nContent-Type: %s\r\nContent-Length: %ld\r\n\r\n";
    const std::string type = encoder.contentType();
    const long length = static_cast<long>(body.size());
    const int n = std::snprintf(nullptr, 0, format, "POST", path.c_str(), host.c_str(), type.c_str(), length);
    std::vector<char> header(static_cast<size_t>(n) + 1);
    std::snprintf(header.data(), header.size(), format, "POST", path.c_str(), host.c_str(), type.c_str(), length);
    return std::string(header.data(), static_cast<size_t>(n)) + body + "\r\n";
}

void ParseRpcResult(const std::string& answer, std::string& result)
{
    static const char* const patterns[] = {
        "{[^}]*\"version\":\\s*\"((?>\\\\\"|[^\"\\\\])*)\"[^}]*}",
        "{[^}]*\"code\":\\s*(\\d+)[^}]*\\}",
        "{[^}]*\"id\":\\s*(\\d+)[^\\}]*}",
        "{[^}]*\"result\":\\s*\"((?>\\\\\"|[^\"\\\\])*)\"[^}]*}",
    };
    result.clear();
    const int length = static_cast<int>(answer.size());
    for (const char* text : patterns) {
        CPatternT<char> pattern(text, FLAG_IGNORECASE);
        CMatchResultT<char> match = pattern.Match(answer.c_str(), length);
        if (!match.IsMatched()) {
            result.clear();
            return;
        }
        // The last pattern's group 1 is the result; the others only gate it.
        result.assign(answer, static_cast<size_t>(match.GetGroupStart(1)),
                      static_cast<size_t>(match.GetGroupEnd(1) - match.GetGroupStart(1)));
    }
}

} // namespace ZorvanRpc
