#include "ErrorMapping.h"

#include <cstring>
#include <map>
#include <vector>
#include "Owners.h"

namespace processlog {
namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

struct Foreign_ {
    GUID error_guid;
    long number;
};

// Per interface, the foreign errors given a slot so far. Slots are never
// reused, so an HRESULT handed out stays decodable for the life of the DLL.
CriticalSection g_lock;
std::map<GUID, std::vector<Foreign_>, GuidLess> g_slots;

}  // namespace

bool IsInterfaceSpecific(HRESULT hr) {
    return FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_ITF && HRESULT_CODE(hr) >= 0x200;
}

HRESULT EncodeError(long number, const GUID& error_guid, const GUID& iid) {
    HRESULT hr = static_cast<HRESULT>(number);
    if (!IsInterfaceSpecific(hr) || IsEqualGUID(error_guid, GUID_NULL) || IsEqualGUID(error_guid, iid))
        return hr;
    Lock lock(g_lock);
    std::vector<Foreign_>& slots = g_slots[iid];
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].number == number && IsEqualGUID(slots[i].error_guid, error_guid))
            return kFirstMappedError + static_cast<HRESULT>(i);
    }
    if (slots.size() >= kMappedErrorSlots)
        return E_FAIL;
    slots.push_back(Foreign_{error_guid, number});
    return kFirstMappedError + static_cast<HRESULT>(slots.size() - 1);
}

void DecodeError(HRESULT hr, const GUID& record_guid, GUID& error_guid, long& number) {
    number = hr;
    if (!IsInterfaceSpecific(hr)) {
        error_guid = GUID_NULL;
        return;
    }
    error_guid = record_guid;
    if (hr < kFirstMappedError || hr >= kFirstMappedError + static_cast<HRESULT>(kMappedErrorSlots))
        return;
    Lock lock(g_lock);
    auto it = g_slots.find(record_guid);
    size_t slot = static_cast<size_t>(hr - kFirstMappedError);
    if (it != g_slots.end() && slot < it->second.size()) {
        error_guid = it->second[slot].error_guid;
        number = it->second[slot].number;
    }
}

}  // namespace processlog
