// Body encoders applied to a request's JSON text before it is framed.
#pragma once
#include <string>

namespace ZorvanRpc {

class ContentEncoder {
public:
    virtual ~ContentEncoder() = default;
    virtual std::string contentType() const = 0;
    virtual std::string encode(const std::string& body) const = 0;
};

// Cuts the body at its first NUL and turns the control characters that would
// break a line-oriented server (CR, LF, BS, FF, TAB) into spaces.
class PlainTextContentEncoder : public ContentEncoder {
public:
    std::string contentType() const override { return "application/json"; }
    std::string encode(const std::string& body) const override;
};

}  // namespace ZorvanRpc
