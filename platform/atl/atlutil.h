// ATL's URL parser, CUrl: splits an address into scheme, user, password,
// host, port, path and extra information (query and fragment). Wide
// throughout, like the rest of this ATL.
//
//   scheme:[//[user[:password]@]host[:port]][path][?query][#fragment]
//
// Addresses without "//" after the scheme (about:blank, mailto:) have no host;
// everything after the colon is their path. Limits as ATL's: a scheme of at
// most 32 characters, a host name of at most 255.
#pragma once
#include "atldef.h"
#include <string>

namespace ATL {

enum ATL_URL_SCHEME {
    ATL_URL_SCHEME_UNKNOWN = -1,
    ATL_URL_SCHEME_FTP = 0,
    ATL_URL_SCHEME_GOPHER = 1,
    ATL_URL_SCHEME_HTTP = 2,
    ATL_URL_SCHEME_HTTPS = 3,
    ATL_URL_SCHEME_FILE = 4,
    ATL_URL_SCHEME_NEWS = 5,
    ATL_URL_SCHEME_MAILTO = 6,
    ATL_URL_SCHEME_SOCKS = 7,
};

typedef unsigned short ATL_URL_PORT;
const ATL_URL_PORT ATL_URL_INVALID_PORT_NUMBER = 0;
const size_t ATL_URL_MAX_SCHEME_LENGTH = 32;
const size_t ATL_URL_MAX_HOST_NAME_LENGTH = 255;

class CUrl {
public:
    // FALSE leaves the components empty. dwFlags (ATL's decoding and escaping
    // switches) are not supported: only 0.
    BOOL CrackUrl(LPCWSTR lpszUrl, DWORD dwFlags = 0)
    {
        Clear();
        if (!lpszUrl || dwFlags != 0 || !Crack(lpszUrl)) {
            Clear();
            return FALSE;
        }
        return TRUE;
    }

    LPCWSTR GetSchemeName() const noexcept { return scheme_.c_str(); }
    ATL_URL_SCHEME GetScheme() const noexcept { return schemeKind_; }
    LPCWSTR GetUserName() const noexcept { return user_.c_str(); }
    LPCWSTR GetPassword() const noexcept { return password_.c_str(); }
    LPCWSTR GetHostName() const noexcept { return host_.c_str(); }
    DWORD GetHostNameLength() const noexcept { return static_cast<DWORD>(host_.size()); }
    ATL_URL_PORT GetPortNumber() const noexcept { return port_; }
    LPCWSTR GetUrlPath() const noexcept { return path_.c_str(); }
    LPCWSTR GetExtraInfo() const noexcept { return extra_.c_str(); }

private:
    void Clear()
    {
        scheme_.clear();
        user_.clear();
        password_.clear();
        host_.clear();
        path_.clear();
        extra_.clear();
        port_ = ATL_URL_INVALID_PORT_NUMBER;
        schemeKind_ = ATL_URL_SCHEME_UNKNOWN;
    }

    bool Crack(const std::wstring& url)
    {
        size_t colon = url.find(L':');
        if (colon == 0 || colon == std::wstring::npos || colon > ATL_URL_MAX_SCHEME_LENGTH) return false;
        for (size_t i = 0; i < colon; ++i) {
            wchar_t c = url[i];
            bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
            bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
            if (!letter && !(i > 0 && other)) return false;
        }
        scheme_ = url.substr(0, colon);
        schemeKind_ = KindOf(scheme_);
        port_ = DefaultPort(schemeKind_);

        size_t pos = colon + 1;
        if (url.compare(pos, 2, L"//") == 0) {
            pos += 2;
            size_t end = url.find_first_of(L"/?#", pos);
            if (end == std::wstring::npos) end = url.size();
            if (!CrackAuthority(url.substr(pos, end - pos))) return false;
            pos = end;
        }
        size_t extra = url.find_first_of(L"?#", pos);
        if (extra == std::wstring::npos) extra = url.size();
        path_ = url.substr(pos, extra - pos);
        extra_ = url.substr(extra);
        return true;
    }

    bool CrackAuthority(const std::wstring& authority)
    {
        size_t at = authority.rfind(L'@');
        std::wstring hostPort = authority;
        if (at != std::wstring::npos) {
            std::wstring userInfo = authority.substr(0, at);
            size_t colon = userInfo.find(L':');
            user_ = userInfo.substr(0, colon);
            if (colon != std::wstring::npos) password_ = userInfo.substr(colon + 1);
            hostPort = authority.substr(at + 1);
        }
        // A bracketed IPv6 literal holds colons of its own.
        size_t hostEnd = hostPort.size();
        size_t portColon = std::wstring::npos;
        if (!hostPort.empty() && hostPort[0] == L'[') {
            size_t close = hostPort.find(L']');
            if (close == std::wstring::npos) return false;
            hostEnd = close + 1;
            if (hostEnd < hostPort.size()) {
                if (hostPort[hostEnd] != L':') return false;
                portColon = hostEnd;
            }
        } else {
            portColon = hostPort.rfind(L':');
            if (portColon != std::wstring::npos) hostEnd = portColon;
        }
        host_ = hostPort.substr(0, hostEnd);
        if (host_.size() > ATL_URL_MAX_HOST_NAME_LENGTH) return false;
        if (portColon != std::wstring::npos) {
            std::wstring digits = hostPort.substr(portColon + 1);
            // "host:" keeps the scheme's port.
            if (!digits.empty()) {
                unsigned long port = 0;
                for (wchar_t c : digits) {
                    if (c < L'0' || c > L'9') return false;
                    port = port * 10 + static_cast<unsigned long>(c - L'0');
                    if (port > 65535) return false;
                }
                port_ = static_cast<ATL_URL_PORT>(port);
            }
        }
        return true;
    }

    static ATL_URL_SCHEME KindOf(const std::wstring& scheme)
    {
        static const struct {
            const wchar_t* name;
            ATL_URL_SCHEME kind;
        } kinds[] = {{L"ftp", ATL_URL_SCHEME_FTP},       {L"gopher", ATL_URL_SCHEME_GOPHER},
                     {L"http", ATL_URL_SCHEME_HTTP},     {L"https", ATL_URL_SCHEME_HTTPS},
                     {L"file", ATL_URL_SCHEME_FILE},     {L"news", ATL_URL_SCHEME_NEWS},
                     {L"mailto", ATL_URL_SCHEME_MAILTO}, {L"socks", ATL_URL_SCHEME_SOCKS}};
        for (const auto& k : kinds)
            if (_wcsicmp(scheme.c_str(), k.name) == 0) return k.kind;
        return ATL_URL_SCHEME_UNKNOWN;
    }

    static ATL_URL_PORT DefaultPort(ATL_URL_SCHEME kind)
    {
        switch (kind) {
        case ATL_URL_SCHEME_FTP: return 21;
        case ATL_URL_SCHEME_GOPHER: return 70;
        case ATL_URL_SCHEME_HTTP: return 80;
        case ATL_URL_SCHEME_HTTPS: return 443;
        case ATL_URL_SCHEME_SOCKS: return 1080;
        default: return ATL_URL_INVALID_PORT_NUMBER;
        }
    }

    std::wstring scheme_, user_, password_, host_, path_, extra_;
    ATL_URL_PORT port_ = ATL_URL_INVALID_PORT_NUMBER;
    ATL_URL_SCHEME schemeKind_ = ATL_URL_SCHEME_UNKNOWN;
};

}  // namespace ATL
