#include "ErrorMapping.h"

#include <vector>
#include "Owners.h"

namespace processlog {
namespace {

struct Slot_ {
    GUID iid;
    GUID error_guid;
    long number;
};

// The foreign errors given a slot so far, one slot per (interface, error)
// pair across all interfaces, so that an HRESULT decoded for the wrong
// interface is not mistaken for another error. Slots are never reused: an
// HRESULT handed out stays decodable for the life of the DLL.
vpk::critical_section g_lock;
std::vector<Slot_> g_slots;

}  // namespace

bool IsInterfaceSpecific(HRESULT hr) {
    return FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_ITF && HRESULT_CODE(hr) >= 0x200;
}

HRESULT EncodeError(long number, const GUID& error_guid, const GUID& iid) {
    HRESULT hr = static_cast<HRESULT>(number);
    if (!IsInterfaceSpecific(hr) || IsEqualGUID(error_guid, GUID_NULL) || IsEqualGUID(error_guid, iid))
        return hr;
    vpk::critical_section_lock lock(g_lock);
    for (size_t i = 0; i < g_slots.size(); ++i) {
        const Slot_& slot = g_slots[i];
        if (slot.number == number && IsEqualGUID(slot.error_guid, error_guid) && IsEqualGUID(slot.iid, iid))
            return kFirstMappedError + static_cast<HRESULT>(i);
    }
    if (g_slots.size() >= kMappedErrorSlots)
        return E_FAIL;
    g_slots.push_back(Slot_{iid, error_guid, number});
    return kFirstMappedError + static_cast<HRESULT>(g_slots.size() - 1);
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
    vpk::critical_section_lock lock(g_lock);
    size_t index = static_cast<size_t>(hr - kFirstMappedError);
    if (index < g_slots.size() && IsEqualGUID(g_slots[index].iid, record_guid)) {
        error_guid = g_slots[index].error_guid;
        number = g_slots[index].number;
    }
}

}  // namespace processlog
