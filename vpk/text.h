// Conversions between UTF-16 and the narrow code pages, one function per
// policy. The policies differ on purpose: pick the one whose line below
// describes the text at hand, never a local copy.
#pragma once
#include <windows.h>
#include <string>

namespace vpk {

// The thread's code page (CP_THREAD_ACP), for text this machine's programs
// read back in the same code page: the rank server's host name, the agent
// string. A character the code page lacks becomes its default character;
// any other failure throws.
std::string to_thread_code_page(const std::wstring& text);
// The inverse, for bytes the rank server answers with; a failure throws.
std::wstring from_thread_code_page(const std::string& bytes);
// The inverse for a NUL-terminated text read from the system (the browser's
// agent string): a text that cannot be converted reads as empty.
std::wstring from_thread_code_page_or_empty(const char* text);

// The system code page (CP_ACP) at one byte per character, for request fields
// the server counts in characters: a character that would need two bytes (a
// double-byte code page) fails the conversion and throws rather than being
// cut; one the code page lacks becomes its default character.
std::string to_ansi_one_byte_per_char(const wchar_t* text, size_t length);

// The system code page for error texts: a report must not fail because of its
// text, so a failure gives an empty text instead of throwing.
std::wstring from_ansi_or_empty(const char* text, size_t length);
std::string to_ansi_or_empty(const wchar_t* text);

}  // namespace vpk
