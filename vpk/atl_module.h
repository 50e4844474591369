// The support module as the COM server's module object embeds it.
#pragma once
#include <atlbase.h>
#include "vpk/module.h"

namespace vpk {

class atl_module : public module {
protected:
    long lock_module() override { return ATL::_pAtlModule ? ATL::_pAtlModule->Lock() : 1; }
    long lock_module_ex() override { return ATL::_pAtlModule ? ATL::_pAtlModule->Lock() : 1; }
};

}  // namespace vpk
