// CComBSTR: an owned automation string.
#pragma once
#include "atldef.h"
#include <oleauto.h>
#include <memory>
#include <utility>

namespace ATL {

class CComBSTR {
public:
    BSTR m_str;

    CComBSTR() noexcept : m_str(nullptr) {}
    // A string of nSize characters, copied from sz when given.
    CComBSTR(int nSize, LPCOLESTR sz = nullptr) : m_str(nullptr)
    {
        if (nSize < 0) return;
        m_str = ::SysAllocStringLen(sz, static_cast<UINT>(nSize));
    }
    CComBSTR(LPCOLESTR pSrc) : m_str(pSrc ? ::SysAllocString(pSrc) : nullptr) {}
    // From an ANSI string (code page CP_ACP).
    CComBSTR(LPCSTR pSrc) : m_str(nullptr)
    {
        if (!pSrc) return;
        int n = ::MultiByteToWideChar(CP_ACP, 0, pSrc, -1, nullptr, 0);
        if (n <= 0) return;
        m_str = ::SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
        if (m_str) ::MultiByteToWideChar(CP_ACP, 0, pSrc, -1, m_str, n);
    }
    CComBSTR(const CComBSTR& src) : m_str(src.Copy()) {}
    CComBSTR(CComBSTR&& src) noexcept : m_str(src.m_str) { src.m_str = nullptr; }
    ~CComBSTR() { ::SysFreeString(m_str); }

    CComBSTR& operator=(const CComBSTR& src)
    {
        if (m_str != src.m_str) {
            ::SysFreeString(m_str);
            m_str = src.Copy();
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& src) noexcept
    {
        if (this != std::addressof(src)) {
            ::SysFreeString(m_str);
            m_str = src.m_str;
            src.m_str = nullptr;
        }
        return *this;
    }
    CComBSTR& operator=(LPCOLESTR pSrc)
    {
        if (pSrc != m_str) {
            ::SysFreeString(m_str);
            m_str = pSrc ? ::SysAllocString(pSrc) : nullptr;
        }
        return *this;
    }

    operator BSTR() const noexcept { return m_str; }
    BSTR* operator&() noexcept { return &m_str; }
    bool operator!() const noexcept { return m_str == nullptr; }
    bool operator==(const CComBSTR& other) const noexcept
    {
        return ::VarBstrCmp(m_str, other.m_str, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
    }
    bool operator!=(const CComBSTR& other) const noexcept { return !(*this == other); }

    unsigned int Length() const noexcept { return ::SysStringLen(m_str); }
    unsigned int ByteLength() const noexcept { return ::SysStringByteLen(m_str); }
    BSTR Copy() const
    {
        return m_str ? ::SysAllocStringByteLen(reinterpret_cast<char*>(m_str), ::SysStringByteLen(m_str))
                     : nullptr;
    }
    HRESULT CopyTo(BSTR* pbstr) const
    {
        if (!pbstr) return E_POINTER;
        *pbstr = Copy();
        return (*pbstr || !m_str) ? S_OK : E_OUTOFMEMORY;
    }
    void Attach(BSTR src) noexcept
    {
        if (m_str != src) {
            ::SysFreeString(m_str);
            m_str = src;
        }
    }
    BSTR Detach() noexcept
    {
        BSTR s = m_str;
        m_str = nullptr;
        return s;
    }
    void Empty() noexcept
    {
        ::SysFreeString(m_str);
        m_str = nullptr;
    }
    HRESULT Append(LPCOLESTR lpsz, int nLen)
    {
        if (!lpsz || nLen <= 0) return S_OK;
        UINT n1 = Length();
        BSTR b = ::SysAllocStringLen(nullptr, n1 + static_cast<UINT>(nLen));
        if (!b) return E_OUTOFMEMORY;
        if (n1) memcpy(b, m_str, n1 * sizeof(OLECHAR));
        memcpy(b + n1, lpsz, static_cast<size_t>(nLen) * sizeof(OLECHAR));
        b[n1 + static_cast<UINT>(nLen)] = 0;
        ::SysFreeString(m_str);
        m_str = b;
        return S_OK;
    }
    HRESULT Append(LPCOLESTR lpsz) { return lpsz ? Append(lpsz, static_cast<int>(wcslen(lpsz))) : S_OK; }
    HRESULT Append(const CComBSTR& s) { return Append(s.m_str, static_cast<int>(s.Length())); }
    CComBSTR& operator+=(LPCOLESTR s) { Append(s); return *this; }
    CComBSTR& operator+=(const CComBSTR& s) { Append(s); return *this; }
};

}  // namespace ATL
