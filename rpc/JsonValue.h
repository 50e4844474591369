// JSON values of the rank requests. The system only writes JSON; answers are
// read with patterns (RpcClient::ParseRpcResult).
#pragma once
#include "rpc/ZorvanEssentials.h"
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace ZorvanRpc {

class JsonValue : public ZorvanEssentials::Cloneable<std::shared_ptr<JsonValue>> {
public:
    // Fixed tags; 2 belongs to no class.
    enum Type { String = 0, Number = 1, Object = 3, Array = 4 };

    std::shared_ptr<JsonValue> clone() const override = 0;
    virtual ~JsonValue() = default;
    virtual int type() const = 0;
    // Appends the compact JSON text (no whitespace anywhere).
    virtual void write(std::ostream& out) const = 0;
};

class JsonString : public JsonValue {
public:
    explicit JsonString(const std::string& bytes);
#ifdef _WIN32
    // Stored in the ANSI code page; fails with the last error when the text
    // needs more bytes than the source has characters.
    explicit JsonString(const wchar_t* text);
#endif
    std::shared_ptr<JsonValue> clone() const override;
    int type() const override
    {
        return String;
    }
    void write(std::ostream& out) const override;
    const std::string& value() const
    {
        return value_;
    }

private:
    std::string value_;
};

class JsonNumber : public JsonValue {
public:
    explicit JsonNumber(double value) : value_(value) {}
    std::shared_ptr<JsonValue> clone() const override;
    int type() const override { return Number; }
    // Leaves the stream decimal, precision 19, scientific flag cleared.
    void write(std::ostream& out) const override;

private:
    double value_;
};

class JsonObject : public JsonValue {
public:
    JsonObject() = default;
    // Stores a clone; a member with the same key is replaced.
    void set(const std::string& key, const JsonValue& value);
    std::shared_ptr<JsonValue> clone() const override;
    int type() const override { return Object; }
    void write(std::ostream& out) const override;

private:
    std::map<std::string, std::shared_ptr<JsonValue>> members_;
};

class JsonArray : public JsonValue {
public:
    JsonArray() = default;
    // Appends a clone.
    void add(const JsonValue& value);
    std::shared_ptr<JsonValue> clone() const override;
    int type() const override { return Array; }
    void write(std::ostream& out) const override;

private:
    std::vector<std::shared_ptr<JsonValue>> elements_;
};

}  // namespace ZorvanRpc
