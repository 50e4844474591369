#include "HostOutput.h"
#include "HostHandles.h"
#include <oleauto.h>
#include <cstdio>
#include <cwchar>

namespace zorvanhost {
namespace {
vpk::critical_section& OutputLock()
{
    static vpk::critical_section lock;
    return lock;
}
}  // namespace

void WriteLine(const std::wstring& text)
{
    std::wstring line = text + L"\n";
    int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                            &bytes[0], n, nullptr, nullptr);
    vpk::critical_section_lock hold(OutputLock());
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

void PrintLine(const std::wstring& text)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%02u:%02u:%02u.%03u ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    // Each line stamped: a plug-in's error description carries its stack
    // trace after a line break.
    std::wstring lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        size_t cut = end > start && text[end - 1] == L'\r' ? end - 1 : end;
        lines += (start ? L"\n" : L"") + std::wstring(stamp) + text.substr(start, cut - start);
        start = end + 1;
    }
    WriteLine(lines);
}

std::wstring FormatHex(unsigned long long value)
{
    wchar_t buf[24];
    swprintf(buf, 24, L"0x%llX", value);
    return buf;
}

std::wstring DescribeResult(HRESULT hr)
{
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring text = buf;
    ComPtr<IErrorInfo> info;
    if (FAILED(hr) && GetErrorInfo(0, info.put()) == S_OK && info) {
        Bstr description;
        if (SUCCEEDED(info->GetDescription(description.put())) && description.length())
            text += L" (" + std::wstring(description.c_str()) + L")";
    }
    return text;
}

}  // namespace zorvanhost
