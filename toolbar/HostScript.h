// The host's script: what the "browser" does around the plug-in, one command
// at a time (see README.md).
#pragma once
#include <string>
#include <vector>

namespace zorvanhost {

struct ScriptCommand {
    std::wstring verb;
    std::vector<std::wstring> args;
};

// Reads commands from words: each verb takes a fixed number of arguments.
// False with a message for an unknown verb or a missing argument.
bool ParseScript(const std::vector<std::wstring>& words, std::vector<ScriptCommand>& out,
                 std::wstring& error);

// The words of a script file (UTF-8 or ANSI): whitespace-separated, lines
// starting with '#' skipped.
bool ReadScriptFile(const std::wstring& path, std::vector<std::wstring>& words, std::wstring& error);

}  // namespace zorvanhost
