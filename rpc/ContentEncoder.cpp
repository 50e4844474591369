#include "rpc/ContentEncoder.h"

namespace ZorvanRpc {

std::string PlainTextContentEncoder::encode(const std::string& body) const
{
    std::string out(body.c_str());
    for (char& c : out) {
        if (c == '\r' || c == '\n' || c == '\b' || c == '\f' || c == '\t') c = ' ';
    }
    return out;
}

}  // namespace ZorvanRpc
