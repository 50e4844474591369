// The host's log on stdout: one timestamped line per event, flushed at once so
// that a reader of the pipe sees lines from the window thread and from the
// plug-in's worker in the order they happened.
#pragma once
#include <windows.h>
#include <string>

namespace zorvanhost {

// One line to stdout as UTF-8, in one write; callable from any thread.
void WriteLine(const std::wstring& text);

// "hh:mm:ss.mmm text" through WriteLine, every line of text stamped.
void PrintLine(const std::wstring& text);

// "0x80004005" followed by the thread's error description, when there is one.
std::wstring DescribeResult(HRESULT hr);

std::wstring FormatHex(unsigned long long value);

}  // namespace zorvanhost
