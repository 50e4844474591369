#pragma once
// The client identity a rank request carries, read once and read again only
// after the registry keys it comes from have changed, so that a lookup pays
// for it only when it could be different. URL Moniker's agent for the process
// is no registry value: it is asked for at every call, as cheap as it is.
// Failures are thrown as vpk::com_exception, as the reads throw them.
#include "vpk/handle.h"
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

class RegistryWatch;

class IdentityCache {
public:
    struct Values {
        std::wstring userId;  // GetUserId
        std::wstring userAgent;  // GetUserAgent
        std::wstring acceptLanguage;  // GetAcceptLanguage
    };

    // The one of the process.
    static IdentityCache& Instance();

    IdentityCache();
    ~IdentityCache();
    IdentityCache(const IdentityCache&) = delete;
    IdentityCache& operator=(const IdentityCache&) = delete;

    // The values as GetUserId, GetUserAgent and GetAcceptLanguage would give
    // them now. Any thread.
    Values Current();
    // How many times the registry's values were read: the first call, and
    // the first after each change.
    unsigned long Reads() const noexcept;

private:
    void ReadAll();

    mutable vpk::critical_section lock_;
    vpk::unique_event changed_;  // manual reset: set by any watch, reset before a read
    std::vector<std::unique_ptr<RegistryWatch>> watches_;
    bool fresh_ = false;  // values_ read, and every watch armed since
    std::wstring userId_, browserAgent_, acceptLanguage_;
    HRESULT browserAgentHr_ = S_OK;
    unsigned long reads_ = 0;
};
