#include "rpc/JsonValue.h"
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include "vpk/text.h"
#endif

namespace ZorvanRpc {

JsonString::JsonString(const std::string& bytes) : value_(bytes) {}

#ifdef _WIN32
JsonString::JsonString(const wchar_t* text)
{
    value_ = vpk::to_ansi_one_byte_per_char(text, wcslen(text));
}
#endif

std::shared_ptr<JsonValue> JsonString::clone() const
{
    return std::make_shared<JsonString>(value_);
}

void JsonString::write(std::ostream& out) const
{
    out.put('"');
    for (char c : value_) {
        switch (c) {
        case '\b': out << "\\b"; break;
        case '\t': out << "\\t"; break;
        case '\n': out << "\\n"; break;
        case '\f': out << "\\f"; break;
        case '\r': out << "\\r"; break;
        case '"': out << "\\\""; break;
        case '/': out << "\\/"; break;
        case '\\': out << "\\\\"; break;
        default: out.put(c); break;
        }
    }
    out.put('"');
}

std::shared_ptr<JsonValue> JsonNumber::clone() const
{
    return std::make_shared<JsonNumber>(value_);
}

void JsonNumber::write(std::ostream& out) const
{
    out.setf(std::ios::dec, std::ios::basefield);
    out.precision(19);
    out.unsetf(std::ios::scientific);
    if (out.flags() & std::ios::fixed) {
        out << value_;
        return;
    }
    // The general form with a three-digit exponent (1e+020), whichever C
    // library formats it: the service sees the same text from every build.
    char text[64];
    std::snprintf(text, sizeof text, "%.19g", value_);
    char* e = std::strchr(text, 'e');
    if (e && (e[1] == '+' || e[1] == '-')) {
        char* digits = e + 2;
        const size_t n = std::strlen(digits);
        if (n < 3) {
            std::memmove(digits + (3 - n), digits, n + 1);
            std::memset(digits, '0', 3 - n);
        }
    }
    out << text;
}

void JsonObject::set(const std::string& key, const JsonValue& value)
{
    std::shared_ptr<JsonValue> copy = value.clone();
    members_[key].swap(copy);
}

std::shared_ptr<JsonValue> JsonObject::clone() const
{
    auto copy = std::make_shared<JsonObject>();
    for (const auto& member : members_) copy->set(member.first, *member.second);
    return copy;
}

void JsonObject::write(std::ostream& out) const
{
    out.put('{');
    bool first = true;
    for (const auto& member : members_) {
        if (!first) out.put(',');
        first = false;
        // Keys go out as they are, up to a NUL: they are the system's own names.
        out.put('"');
        out << member.first.c_str();
        out << "\":";
        member.second->write(out);
    }
    out.put('}');
}

void JsonArray::add(const JsonValue& value)
{
    elements_.push_back(value.clone());
}

std::shared_ptr<JsonValue> JsonArray::clone() const
{
    auto copy = std::make_shared<JsonArray>();
    for (const auto& element : elements_) copy->add(*element);
    return copy;
}

void JsonArray::write(std::ostream& out) const
{
    out.put('[');
    for (size_t i = 0; i < elements_.size(); ++i) {
        if (i) out.put(',');
        elements_[i]->write(out);
    }
    out.put(']');
}

}  // namespace ZorvanRpc
