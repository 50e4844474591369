#include "HostScript.h"
#include "HostHandles.h"
#include <windows.h>
#include <cwctype>
#include <sstream>

namespace zorvanhost {
namespace {

struct Verb {
    const wchar_t* name;
    size_t args;
};

const Verb kVerbs[] = {
    {L"navigate", 1},  {L"frame", 1},   {L"redirect", 2},     {L"reload", 0},
    {L"wait", 1},      {L"hold", 1},    {L"uninitialize", 0}, {L"initialize", 0},
    {L"release", 0},   {L"quit", 0},    {L"refuse", 1},       {L"await", 1},
};

bool IsNumber(const std::wstring& s)
{
    if (s.empty()) return false;
    for (wchar_t c : s)
        if (!iswdigit(c)) return false;
    return true;
}

}  // namespace

bool ParseScript(const std::vector<std::wstring>& words, std::vector<ScriptCommand>& out,
                 std::wstring& error)
{
    for (size_t i = 0; i < words.size();) {
        const Verb* verb = nullptr;
        for (const Verb& v : kVerbs)
            if (words[i] == v.name) verb = &v;
        if (!verb) {
            error = L"unknown command: " + words[i];
            return false;
        }
        if (i + verb->args >= words.size()) {
            error = words[i] + L" needs " + std::to_wstring(verb->args) + L" argument(s)";
            return false;
        }
        ScriptCommand cmd{words[i], {}};
        for (size_t a = 1; a <= verb->args; ++a) cmd.args.push_back(words[i + a]);
        if ((cmd.verb == L"wait" || cmd.verb == L"hold" || cmd.verb == L"await") && !IsNumber(cmd.args[0])) {
            error = cmd.verb + L" needs a number, not " + cmd.args[0];
            return false;
        }
        out.push_back(cmd);
        i += 1 + verb->args;
    }
    return true;
}

bool ReadScriptFile(const std::wstring& path, std::vector<std::wstring>& words, std::wstring& error)
{
    HANDLE raw = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        error = L"cannot open " + path;
        return false;
    }
    vpk::unique_file f(raw);
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got) bytes.append(buf, got);
    UINT cp = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                  static_cast<int>(bytes.size()), nullptr, 0) || bytes.empty()
                  ? CP_UTF8
                  : CP_ACP;
    int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    if (!text.empty() && text[0] == L'\xFEFF') text.erase(0, 1);  // a UTF-8 byte order mark
    std::wistringstream lines(text);
    std::wstring line;
    while (std::getline(lines, line)) {
        std::wistringstream in(line);
        std::wstring word;
        if (!(in >> word) || word[0] == L'#') continue;
        do words.push_back(word);
        while (in >> word);
    }
    return true;
}

}  // namespace zorvanhost
