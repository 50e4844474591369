#include "vpk/text.h"
#include "vpk/com_exception.h"

namespace vpk {

namespace {

// Sizes, then converts; false with the last error set when either call fails.
// A NUL-terminated input (size -1) leaves its terminator out of the result.
bool widen(UINT code_page, const char* text, int size, std::wstring& out)
{
    int n = MultiByteToWideChar(code_page, 0, text, size, nullptr, 0);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(code_page, 0, text, size, &out[0], n);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(size < 0 ? n - 1 : n));
    return true;
}

bool narrow(UINT code_page, const wchar_t* text, int size, std::string& out)
{
    int n = WideCharToMultiByte(code_page, 0, text, size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(code_page, 0, text, size, &out[0], n, nullptr, nullptr);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(size < 0 ? n - 1 : n));
    return true;
}

}  // namespace

std::string to_thread_code_page(const std::wstring& text)
{
    std::string out;
    if (!text.empty() && !narrow(CP_THREAD_ACP, text.data(), static_cast<int>(text.size()), out)) throw_last_error();
    return out;
}

std::wstring from_thread_code_page(const std::string& bytes)
{
    std::wstring out;
    if (!bytes.empty() && !widen(CP_THREAD_ACP, bytes.data(), static_cast<int>(bytes.size()), out)) throw_last_error();
    return out;
}

std::wstring from_thread_code_page_or_empty(const char* text)
{
    std::wstring out;
    return widen(CP_THREAD_ACP, text, -1, out) ? out : std::wstring();
}

std::string to_ansi_one_byte_per_char(const wchar_t* text, size_t length)
{
    if (length == 0) return std::string();
    const int chars = static_cast<int>(length);
    // The buffer has room for one byte per character only: a text that needs
    // more fails here with ERROR_INSUFFICIENT_BUFFER.
    std::string out(length, '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, text, chars, &out[0], chars, nullptr, nullptr);
    if (n == 0) throw_last_error();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::wstring from_ansi_or_empty(const char* text, size_t length)
{
    std::wstring out;
    if (length == 0 || !widen(CP_ACP, text, static_cast<int>(length), out)) return std::wstring();
    return out;
}

std::string to_ansi_or_empty(const wchar_t* text)
{
    std::string out;
    if (!text || !*text || !narrow(CP_ACP, text, -1, out)) return std::string();
    return out;
}

}  // namespace vpk
