// The one instance of T, reachable from anywhere in the DLL.
#pragma once

namespace vpk {

// Not locked: the instance is made and destroyed while the DLL loads and
// unloads, and only read in between.
template <class T>
class singleton {
public:
    static T* instance() noexcept { return instance_; }

protected:
    singleton() noexcept { instance_ = static_cast<T*>(this); }
    ~singleton() { instance_ = nullptr; }
    singleton(const singleton&) = delete;
    singleton& operator=(const singleton&) = delete;

private:
    static inline T* instance_ = nullptr;
};

}  // namespace vpk
