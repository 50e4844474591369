#include "rpc/RpcRequest.h"
#include "regex/Regex.h"
#include <sstream>

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

    // "%s %s HTTP/1.1\r\nHost: %s\r\nContent-Type: %s\r\nContent-Length: %ld\r\n\r\n",
    // then the body and a closing line break that the length does not count.
    return "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: " + encoder.contentType() +
           "\r\nContent-Length: " + std::to_string(static_cast<long>(body.size())) + "\r\n\r\n" + body + "\r\n";
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
        const CPatternA pattern(text, CPatternA::FLAG_IGNORECASE);
        const CMatchResult match = pattern.Match(answer.c_str(), length);
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
