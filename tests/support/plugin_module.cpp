// The module objects of the test program, as the COM server has them: ATL's
// (counting the live objects) and the support library's, with which every
// worker thread registers. No process log: errors stand for themselves.
#include <atlbase.h>
#include "vpk/atl_module.h"

ATL::CAtlModule atl_module_object;
vpk::atl_module support_module;
