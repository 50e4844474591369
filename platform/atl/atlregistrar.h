// The registrar: runs registration scripts (.rgs) against the registry.
// Compiled into the module, as with ATL's static registry, rather than
// going through the system's registrar component (Wine's leaves `val` values
// behind, reads hexadecimal DWORDs as 0 and hangs on an unbalanced brace).
//
// Script form:
//   HKCR { NoRemove CLSID { ForceRemove {guid} = s 'Name' { val X = d 1 } } }
// Roots: HKCR, HKCU, HKLM, HKU, HKCC and their long names. Key flags: NoRemove
// (kept on unregistration), ForceRemove (deleted with everything below it
// before it is written, and on unregistration), Delete (deleted, never
// written). Value types: s (REG_SZ), e (REG_EXPAND_SZ), d (REG_DWORD, decimal
// or 0x hexadecimal), b (REG_BINARY, hexadecimal digits), m (REG_MULTI_SZ,
// strings separated by \0). Quoted text uses single quotation marks, '' for
// one. %NAME% is a replacement (names without regard to case), %% a percent.
#pragma once
#include "atlbase.h"
#include <string>
#include <utility>
#include <vector>

namespace ATL {

struct _ATL_REGMAP_ENTRY {
    LPCOLESTR szKey;
    LPCOLESTR szData;
};

// What a module's AddCommonRGSReplacements is handed.
class IRegistrarBase {
public:
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;

protected:
    ~IRegistrarBase() = default;
};

// Per-user registration: the scripts' HKEY_CLASSES_ROOT blocks go to
// HKEY_CURRENT_USER\Software\Classes. One setting per module.
inline bool _AtlRegisterPerUser = false;
inline void AtlSetPerUserRegistration(bool perUser) noexcept { _AtlRegisterPerUser = perUser; }
inline bool AtlGetPerUserRegistration() noexcept { return _AtlRegisterPerUser; }

class CRegObject : public IRegistrarBase {
public:
    CRegObject() noexcept : m_bPerUser(AtlGetPerUserRegistration()) {}
    virtual ~CRegObject() = default;

    HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) override;
    HRESULT STDMETHODCALLTYPE ClearReplacements() override;

    HRESULT StringRegister(LPCOLESTR script) { return RunScript(script, true); }
    HRESULT StringUnregister(LPCOLESTR script) { return RunScript(script, false); }
    // A script stored in a module's resources (ANSI, UTF-8 or UTF-16 with BOM).
    HRESULT ResourceRegister(HINSTANCE module, UINT id, LPCOLESTR type) { return RunResource(module, id, type, true); }
    HRESULT ResourceUnregister(HINSTANCE module, UINT id, LPCOLESTR type) { return RunResource(module, id, type, false); }

    // Overrides the module-wide per-user setting for this registrar.
    void SetPerUser(bool perUser) noexcept { m_bPerUser = perUser; }

private:
    HRESULT RunScript(LPCOLESTR script, bool bRegister);
    HRESULT RunResource(HINSTANCE module, UINT id, LPCOLESTR type, bool bRegister);

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
    bool m_bPerUser;
};

}  // namespace ATL
