#include "rpc/RpcRequest.h"
#include "regex/Regex.h"
#include "rpc/AnswerPatterns.h"
#include <sstream>

namespace ZorvanRpc {

std::string BuildRpcRequest(int id, const std::string& method, const std::string& path, const JsonValue& params,
    const std::string& agent, const std::string& host, const ContentEncoder& encoder)
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

namespace {

// Compiled on first use and only read afterwards, so every thread may search
// with them at once (each search has its own context).
struct CompiledAnswerPatterns {
    CompiledAnswerPatterns()
        : version(kAnswerPatterns[ANSWER_VERSION].text, kAnswerPatternFlags),
          code(kAnswerPatterns[ANSWER_CODE].text, kAnswerPatternFlags),
          id(kAnswerPatterns[ANSWER_ID].text, kAnswerPatternFlags),
          result(kAnswerPatterns[ANSWER_RESULT].text, kAnswerPatternFlags)
    {}
    CPatternA version, code, id, result;
};

}  // namespace

void ParseRpcResult(const std::string& answer, std::string& result)
{
    static const CompiledAnswerPatterns compiled;
    const CPatternA* const patterns[] = {&compiled.version, &compiled.code, &compiled.id, &compiled.result};
    result.clear();
    const int length = static_cast<int>(answer.size());
    CContext context;
    for (const CPatternA* pattern : patterns) {
        context.Forget();
        int begin, end;
        if (!pattern->Find(answer.c_str(), length, -1, context) || !context.GetGroup(1, begin, end)) {
            result.clear();
            return;
        }
        // The last pattern's group 1 is the result; the others only gate it.
        result.assign(answer, static_cast<size_t>(begin), static_cast<size_t>(end - begin));
    }
}

}  // namespace ZorvanRpc
