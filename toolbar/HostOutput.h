// The host's log on stdout: one timestamped line per event, flushed at once so
// that a reader of the pipe sees lines from the window thread and from the
// plug-in's worker in the order they happened.
#pragma once
#include <windows.h>
#include <string>

namespace zorvanhost {

// "hh:mm:ss.mmm text", UTF-8; callable from any thread.
void PrintLine(const std::wstring& text);

// "0x80004005" followed by the thread's error description, when there is one.
std::wstring DescribeResult(HRESULT hr);

std::wstring FormatHex(unsigned long long value);

}  // namespace zorvanhost
