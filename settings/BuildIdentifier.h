#pragma once
// Which of the vendor's components is asking, from the file name of the
// module that holds this code, and the identifier sent with each request.
#include <string>

// "installer" for a name containing ".tmp" or ".msi" (any case), otherwise
// the module table's entry for the file name, otherwise "ieaddon_unkmod".
// Takes a full path or a bare file name.
std::wstring ComponentNameForModule(const std::wstring& modulePath);

// "<component>-2.2.0-73-stable-win-x86_64".
std::wstring BuildIdentifierFor(const std::wstring& componentName);
