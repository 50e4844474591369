#include "settings/EscapeUrl.h"
#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

// Printable ASCII that is neither letter nor digit, in ascending order for the search.
const wchar_t kPunctuation[] = L"!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
const wchar_t* const kPunctuationEnd = kPunctuation + sizeof(kPunctuation) / sizeof(wchar_t) - 1;

bool IsCopied(unsigned long u)
{
    if (u >= 0x80) return false;
    if (std::isalnum(static_cast<int>(u))) return true;
    return std::binary_search(kPunctuation, kPunctuationEnd, static_cast<wchar_t>(u));
}

void PutByte(std::ostringstream& out, unsigned long byte)
{
    out << '%' << byte;
}

}  // namespace

std::string EscapeUrl(const std::wstring& text)
{
    std::ostringstream out;
    out << std::hex;
    for (wchar_t unit : text) {
        const unsigned long u = static_cast<unsigned long>(unit);
        if (IsCopied(u)) {
            out << static_cast<char>(u);
        } else if (u <= 0x7FF) {
            // Space, controls and DEL land here too and come out as overlong
            // pairs (a space is %c0%a0); that is what the service has always got.
            PutByte(out, 0xC0 | (u >> 6));
            PutByte(out, 0x80 | (u & 0x3F));
        } else {
            PutByte(out, 0xE0 | (u >> 12));
            PutByte(out, 0x80 | ((u >> 6) & 0x3F));
            PutByte(out, 0x80 | (u & 0x3F));
        }
    }
    return out.str();
}
