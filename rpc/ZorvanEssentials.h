// Small shared bases: values that may not be copied, only cloned.
#pragma once

namespace ZorvanEssentials {

class Noncopyable {
protected:
    Noncopyable() = default;
    ~Noncopyable() = default;

public:
    Noncopyable(const Noncopyable&) = delete;
    Noncopyable& operator=(const Noncopyable&) = delete;
};

// Ptr is the owning pointer type a clone is handed out in.
template <class Ptr>
class Cloneable : private Noncopyable {
public:
    virtual Ptr clone() const = 0;

protected:
    ~Cloneable() = default;
};

}  // namespace ZorvanEssentials
