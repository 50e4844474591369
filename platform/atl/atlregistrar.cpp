// The registrar's script reader and its two passes over the registry.
// The whole script is read into a tree before the registry is touched, so a
// script with a syntax error writes nothing.
#include "atlregistrar.h"
#include <cwctype>
#include <memory>

namespace ATL {
namespace {

// Syntax errors and unknown replacements, as the system registrar reports them.
const HRESULT kScriptError = DISP_E_EXCEPTION;

class RegKey_ {
public:
    RegKey_() = default;
    ~RegKey_() { if (m_h) RegCloseKey(m_h); }
    RegKey_(const RegKey_&) = delete;
    RegKey_& operator=(const RegKey_&) = delete;
    HKEY* put() noexcept { return &m_h; }
    HKEY get() const noexcept { return m_h; }

private:
    HKEY m_h = nullptr;
};

bool EqualNoCase(const std::wstring& a, const wchar_t* b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

struct Value_ {
    std::wstring name;
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

enum class KeyFlag_ { None, NoRemove, ForceRemove, Delete };

struct Key_ {
    std::wstring name;
    KeyFlag_ flag = KeyFlag_::None;
    bool hasDefault = false;
    Value_ defaultValue;
    std::vector<Value_> values;
    std::vector<Key_> subkeys;
};

struct Root_ {
    HKEY hkey = nullptr;
    bool classesRoot = false;
    std::vector<Key_> keys;
};

struct Token_ {
    std::wstring text;
    bool quoted = false;
    bool Is(const wchar_t* s) const { return !quoted && text == s; }
    bool IsWord(const wchar_t* s) const { return !quoted && EqualNoCase(text, s); }
};

// %NAME% replaced everywhere, before the text is split into tokens.
HRESULT ExpandReplacements(const std::wstring& in,
                           const std::vector<std::pair<std::wstring, std::wstring>>& table,
                           std::wstring& out)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != L'%') {
            out += in[i];
            continue;
        }
        size_t end = in.find(L'%', i + 1);
        if (end == std::wstring::npos) return kScriptError;
        if (end == i + 1) {
            out += L'%';
        } else {
            std::wstring name = in.substr(i + 1, end - i - 1);
            const std::wstring* item = nullptr;
            for (const auto& r : table)
                if (EqualNoCase(name, r.first.c_str())) item = &r.second;
            if (!item) return kScriptError;
            out += *item;
        }
        i = end;
    }
    return S_OK;
}

HRESULT Tokenize(const std::wstring& text, std::vector<Token_>& tokens)
{
    size_t i = 0;
    const size_t n = text.size();
    while (true) {
        while (i < n && std::iswspace(text[i])) ++i;
        if (i == n) return S_OK;
        Token_ t;
        if (text[i] == L'\'') {
            t.quoted = true;
            for (++i;; ++i) {
                if (i == n) return kScriptError;  // unterminated
                if (text[i] == L'\'') {
                    if (i + 1 < n && text[i + 1] == L'\'') {
                        t.text += L'\'';
                        ++i;
                    } else {
                        ++i;
                        break;
                    }
                } else {
                    t.text += text[i];
                }
            }
        } else {
            // Whitespace ends a bare token, so {guid} is a name and { a brace.
            size_t start = i;
            while (i < n && !std::iswspace(text[i])) ++i;
            t.text = text.substr(start, i - start);
        }
        tokens.push_back(std::move(t));
    }
}

class Parser_ {
public:
    explicit Parser_(std::vector<Token_> tokens) : m_tokens(std::move(tokens)) {}

    HRESULT Parse(std::vector<Root_>& roots)
    {
        while (m_pos < m_tokens.size()) {
            Root_ root;
            if (!RootKey(m_tokens[m_pos++], root)) return kScriptError;
            if (!Take(L"{")) return kScriptError;
            HRESULT hr = Body(root.keys);
            if (FAILED(hr)) return hr;
            roots.push_back(std::move(root));
        }
        return S_OK;
    }

private:
    const Token_* Peek() const { return m_pos < m_tokens.size() ? &m_tokens[m_pos] : nullptr; }
    bool Take(const wchar_t* s)
    {
        const Token_* t = Peek();
        if (!t || !t->Is(s)) return false;
        ++m_pos;
        return true;
    }

    static bool RootKey(const Token_& t, Root_& root)
    {
        static const struct {
            const wchar_t* shortName;
            const wchar_t* longName;
            HKEY hkey;
        } kRoots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
            {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        };
        if (t.quoted) return false;
        for (const auto& r : kRoots) {
            if (EqualNoCase(t.text, r.shortName) || EqualNoCase(t.text, r.longName)) {
                root.hkey = r.hkey;
                root.classesRoot = r.hkey == HKEY_CLASSES_ROOT;
                return true;
            }
        }
        return false;
    }

    // Items up to and including the closing brace.
    HRESULT Body(std::vector<Key_>& keys, Key_* owner = nullptr)
    {
        while (true) {
            const Token_* t = Peek();
            if (!t) return kScriptError;  // unbalanced brace
            if (t->Is(L"}")) {
                ++m_pos;
                return S_OK;
            }
            HRESULT hr;
            if (t->IsWord(L"val")) {
                if (!owner) return kScriptError;  // a value needs a key
                ++m_pos;
                Value_ v;
                hr = Name(v.name);
                if (SUCCEEDED(hr)) hr = Take(L"=") ? TypedValue(v) : kScriptError;
                if (FAILED(hr)) return hr;
                owner->values.push_back(std::move(v));
            } else {
                Key_ k;
                hr = KeyItem(k);
                if (FAILED(hr)) return hr;
                keys.push_back(std::move(k));
            }
        }
    }

    HRESULT KeyItem(Key_& k)
    {
        const Token_* t = Peek();
        if (t->IsWord(L"NoRemove")) k.flag = KeyFlag_::NoRemove;
        else if (t->IsWord(L"ForceRemove")) k.flag = KeyFlag_::ForceRemove;
        else if (t->IsWord(L"Delete")) k.flag = KeyFlag_::Delete;
        if (k.flag != KeyFlag_::None) ++m_pos;
        HRESULT hr = Name(k.name);
        if (FAILED(hr)) return hr;
        if (Take(L"=")) {
            k.hasDefault = true;
            hr = TypedValue(k.defaultValue);
            if (FAILED(hr)) return hr;
        }
        if (Take(L"{")) return Body(k.subkeys, &k);
        return S_OK;
    }

    HRESULT Name(std::wstring& name)
    {
        const Token_* t = Peek();
        if (!t || (!t->quoted && (t->text == L"{" || t->text == L"}" || t->text == L"=")))
            return kScriptError;
        if (!t->quoted && t->text.find(L'\\') != std::wstring::npos) return kScriptError;
        name = t->text;
        ++m_pos;
        return S_OK;
    }

    HRESULT TypedValue(Value_& v)
    {
        if (m_pos + 1 >= m_tokens.size()) return kScriptError;
        const Token_& type = m_tokens[m_pos];
        const Token_& data = m_tokens[m_pos + 1];
        if (type.quoted || data.Is(L"{") || data.Is(L"}")) return kScriptError;
        m_pos += 2;
        if (type.IsWord(L"s") || type.IsWord(L"e")) {
            v.type = type.IsWord(L"s") ? REG_SZ : REG_EXPAND_SZ;
            return SetText(v, data.text);
        }
        if (type.IsWord(L"d")) return SetDword(v, data.text);
        if (type.IsWord(L"b")) return SetBinary(v, data.text);
        if (type.IsWord(L"m")) return SetMulti(v, data.text);
        return kScriptError;
    }

    static HRESULT SetText(Value_& v, const std::wstring& text)
    {
        const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
        v.data.assign(p, p + (text.size() + 1) * sizeof(wchar_t));
        return S_OK;
    }

    static HRESULT SetDword(Value_& v, const std::wstring& text)
    {
        // Parsed by hand: the whole range up to 0xFFFFFFFF, nothing clamped.
        unsigned long long n = 0;
        size_t i = 0;
        unsigned base = 10;
        if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
            base = 16;
            i = 2;
        }
        if (i == text.size()) return kScriptError;
        for (; i < text.size(); ++i) {
            wchar_t c = text[i];
            unsigned digit;
            if (c >= L'0' && c <= L'9') digit = c - L'0';
            else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
            else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
            else return kScriptError;
            n = n * base + digit;
            if (n > 0xFFFFFFFFull) return kScriptError;
        }
        DWORD d = static_cast<DWORD>(n);
        v.type = REG_DWORD;
        const BYTE* p = reinterpret_cast<const BYTE*>(&d);
        v.data.assign(p, p + sizeof d);
        return S_OK;
    }

    static HRESULT SetBinary(Value_& v, const std::wstring& text)
    {
        if (text.size() % 2) return kScriptError;
        v.type = REG_BINARY;
        v.data.clear();
        for (size_t i = 0; i < text.size(); i += 2) {
            int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) return kScriptError;
            v.data.push_back(static_cast<BYTE>(hi * 16 + lo));
        }
        return S_OK;
    }

    static HRESULT SetMulti(Value_& v, const std::wstring& text)
    {
        std::wstring all;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'0') {
                all += L'\0';
                ++i;
            } else {
                all += text[i];
            }
        }
        all += L'\0';  // the list's own terminator after the last string's
        v.type = REG_MULTI_SZ;
        const BYTE* p = reinterpret_cast<const BYTE*>(all.c_str());
        v.data.assign(p, p + (all.size() + 1) * sizeof(wchar_t));
        return S_OK;
    }

    static int HexDigit(wchar_t c)
    {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'a' && c <= L'f') return c - L'a' + 10;
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    }

    std::vector<Token_> m_tokens;
    size_t m_pos = 0;
};

HRESULT FromStatus(LSTATUS s) { return s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(s); }

// Deleting what is already gone is no failure.
HRESULT DeleteTree(HKEY parent, const std::wstring& name)
{
    // With a subkey name, the key itself goes too.
    LSTATUS s = RegDeleteTreeW(parent, name.c_str());
    return s == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(s);
}

HRESULT SetValue(HKEY key, const wchar_t* name, const Value_& v)
{
    return FromStatus(RegSetValueExW(key, name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())));
}

HRESULT RegisterKey(HKEY parent, const Key_& k)
{
    if (k.flag == KeyFlag_::Delete) return DeleteTree(parent, k.name);
    if (k.flag == KeyFlag_::ForceRemove) {
        HRESULT hr = DeleteTree(parent, k.name);
        if (FAILED(hr)) return hr;
    }
    RegKey_ key;
    HRESULT hr = FromStatus(RegCreateKeyExW(parent, k.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                            nullptr, key.put(), nullptr));
    if (SUCCEEDED(hr) && k.hasDefault) hr = SetValue(key.get(), nullptr, k.defaultValue);
    for (size_t i = 0; SUCCEEDED(hr) && i < k.values.size(); ++i)
        hr = SetValue(key.get(), k.values[i].name.c_str(), k.values[i]);
    for (size_t i = 0; SUCCEEDED(hr) && i < k.subkeys.size(); ++i) hr = RegisterKey(key.get(), k.subkeys[i]);
    return hr;
}

HRESULT UnregisterKey(HKEY parent, const Key_& k)
{
    if (k.flag == KeyFlag_::ForceRemove || k.flag == KeyFlag_::Delete) return DeleteTree(parent, k.name);
    HRESULT hr;
    {
        RegKey_ key;
        LSTATUS s = RegOpenKeyExW(parent, k.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
        if (s == ERROR_FILE_NOT_FOUND) return S_OK;
        hr = FromStatus(s);
        for (size_t i = 0; SUCCEEDED(hr) && i < k.subkeys.size(); ++i) hr = UnregisterKey(key.get(), k.subkeys[i]);
        for (size_t i = 0; SUCCEEDED(hr) && i < k.values.size(); ++i) {
            s = RegDeleteValueW(key.get(), k.values[i].name.c_str());
            if (s != ERROR_FILE_NOT_FOUND) hr = FromStatus(s);
        }
        if (FAILED(hr) || k.flag == KeyFlag_::NoRemove) return hr;
        DWORD subkeys = 0;
        hr = FromStatus(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr));
        // A key that still holds keys of others stays.
        if (FAILED(hr) || subkeys) return hr;
    }
    LSTATUS s = RegDeleteKeyW(parent, k.name.c_str());
    return s == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(s);
}

HRESULT ApplyRoot(const Root_& root, bool perUser, bool bRegister)
{
    HKEY base = root.hkey;
    RegKey_ classes;
    if (root.classesRoot && perUser) {
        LSTATUS s = bRegister ? RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                                KEY_READ | KEY_WRITE, nullptr, classes.put(), nullptr)
                              : RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ | KEY_WRITE,
                                              classes.put());
        if (!bRegister && s == ERROR_FILE_NOT_FOUND) return S_OK;
        if (s != ERROR_SUCCESS) return HRESULT_FROM_WIN32(s);
        base = classes.get();
    }
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < root.keys.size(); ++i)
        hr = bRegister ? RegisterKey(base, root.keys[i]) : UnregisterKey(base, root.keys[i]);
    return hr;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CRegObject::AddReplacement(LPCOLESTR key, LPCOLESTR item)
{
    if (!key || !item) return E_INVALIDARG;
    try {
        for (auto& r : m_replacements) {
            if (EqualNoCase(r.first, key)) {
                r.second = item;
                return S_OK;
            }
        }
        m_replacements.emplace_back(key, item);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CRegObject::ClearReplacements()
{
    m_replacements.clear();
    return S_OK;
}

HRESULT CRegObject::RunScript(LPCOLESTR script, bool bRegister)
{
    if (!script) return E_INVALIDARG;
    try {
        std::wstring text;
        HRESULT hr = ExpandReplacements(script, m_replacements, text);
        std::vector<Token_> tokens;
        if (SUCCEEDED(hr)) hr = Tokenize(text, tokens);
        std::vector<Root_> roots;
        if (SUCCEEDED(hr)) hr = Parser_(std::move(tokens)).Parse(roots);
        for (size_t i = 0; SUCCEEDED(hr) && i < roots.size(); ++i) hr = ApplyRoot(roots[i], m_bPerUser, bRegister);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::RunResource(HINSTANCE module, UINT id, LPCOLESTR type, bool bRegister)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!res) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module, res);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes) return HRESULT_FROM_WIN32(GetLastError());
    DWORD size = SizeofResource(module, res);
    try {
        std::wstring text;
        if (size >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
            text.assign(reinterpret_cast<const wchar_t*>(bytes + 2), (size - 2) / sizeof(wchar_t));
        } else {
            UINT codePage = CP_ACP;
            if (size >= 3 && static_cast<BYTE>(bytes[0]) == 0xEF && static_cast<BYTE>(bytes[1]) == 0xBB &&
                static_cast<BYTE>(bytes[2]) == 0xBF) {
                codePage = CP_UTF8;
                bytes += 3;
                size -= 3;
            }
            if (size) {
                int n = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(size), nullptr, 0);
                if (n <= 0) return HRESULT_FROM_WIN32(GetLastError());
                text.resize(n);
                MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(size), &text[0], n);
            }
        }
        // Resource compilers may pad the data with NULs.
        size_t end = text.find(L'\0');
        if (end != std::wstring::npos) text.resize(end);
        return RunScript(text.c_str(), bRegister);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace ATL
