// Resource ids of ZorvanRank.dll.
#pragma once

#define IDR_ZORVANRANK_APPID 101
#define IDR_ZORVANRANKPLUGINIMPL 102
#define IDI_ZORVANRANK 201
