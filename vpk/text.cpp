#include "vpk/text.h"
#include "vpk/com_exception.h"

namespace vpk {

std::string to_thread_code_page(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) throw_last_error();
    std::string out(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    if (n <= 0) throw_last_error();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::wstring from_thread_code_page(const std::string& bytes)
{
    if (bytes.empty()) return std::wstring();
    const int size = static_cast<int>(bytes.size());
    int n = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), size, nullptr, 0);
    if (n <= 0) throw_last_error();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), size, &wide[0], n);
    if (n <= 0) throw_last_error();
    wide.resize(static_cast<size_t>(n));
    return wide;
}

std::wstring from_thread_code_page_or_empty(const char* text)
{
    const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &wide[0], n) <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
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
    if (length == 0) return std::wstring();
    const int size = static_cast<int>(length);
    const int n = MultiByteToWideChar(CP_ACP, 0, text, size, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, size, &wide[0], n) <= 0) return std::wstring();
    return wide;
}

std::string to_ansi_or_empty(const wchar_t* text)
{
    if (!text || !*text) return std::string();
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr) <= 0) return std::string();
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace vpk
