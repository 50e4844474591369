// The class id of the plug-in, shared by the plug-in, its COM server and the
// host's plug-in key.
#pragma once
#include <windows.h>

// {41521912-2484-4C1B-BCD8-3D8EF6BADA90}. selectany: the server's type library
// header declares it too, and may define it in its IID file.
EXTERN_C __declspec(selectany) const CLSID CLSID_ZorvanRankPluginImpl = {
    0x41521912, 0x2484, 0x4c1b, {0xbc, 0xd8, 0x3d, 0x8e, 0xf6, 0xba, 0xda, 0x90}};
