// Shared by the process log tests: COM on the calling thread, a log file of
// the test's own, and the component created through COM.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "ProcessLog.h"

namespace processlog_test {

class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) : hr_(CoInitializeEx(nullptr, model)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    HRESULT hr() const { return hr_; }

private:
    HRESULT hr_;
};

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }
    void reset() {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    T** out() { reset(); return &p_; }
    void** out_void() { return reinterpret_cast<void**>(out()); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

class Text {
public:
    Text() = default;
    explicit Text(const wchar_t* s) : s_(SysAllocString(s)) {}
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { SysFreeString(s_); }
    BSTR* out() { SysFreeString(s_); s_ = nullptr; return &s_; }
    BSTR get() const { return s_; }
    std::wstring str() const { return s_ ? std::wstring(s_, SysStringLen(s_)) : std::wstring(); }

private:
    BSTR s_ = nullptr;
};

// A fresh file in the temporary folder, named in ZORVAN_PROCESS_LOG while
// this object lives: components created meanwhile write there. Removed at the end.
class TestLogFile {
public:
    TestLogFile();
    TestLogFile(const TestLogFile&) = delete;
    TestLogFile& operator=(const TestLogFile&) = delete;
    ~TestLogFile();
    const std::wstring& path() const { return path_; }
    // The file's bytes split at CR LF (no empty last element).
    std::vector<std::string> lines() const;
    std::string bytes() const;

private:
    std::wstring path_;
};

// CoCreateInstance of the registered component.
HRESULT CreateProcessLog(IProcessLog** log);

std::string Utf8(const std::wstring& text);

}  // namespace processlog_test
