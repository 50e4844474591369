#pragma once
#include <string>

// An address made fit for a rank request: printable ASCII but the space is
// copied, everything else goes out as lower-case %xx of UTF-8 bytes. The input
// is UTF-16 code units, each encoded on its own, so a surrogate pair becomes
// two three-byte sequences (the rank service expects exactly that).
std::string EscapeUrl(const std::wstring& text);
