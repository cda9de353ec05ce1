// Hostile answers: the ways a faulty or malicious service can shape what it
// hands back, set per operation with SimSetHostile. The operations ask for
// the mode of each call; this file shapes service-allocated answers.
#include "service.h"

#include "guarded.h"

#include <algorithm>
#include <cstring>

namespace scardsim {

void Service::SetHostileLocked(const std::string& operation, DWORD mode, DWORD parameter, DWORD count)
{
    if (count == 0 || mode == SIM_HOSTILE_NONE) {
        hostilities.erase(operation);
    } else {
        hostilities[operation] = Hostility{mode, parameter, count};
    }
}

Hostility Service::TakeHostility(const char* operation)
{
    auto found = hostilities.find(operation);
    if (found == hostilities.end()) return {};
    const Hostility hostility = found->second;
    if (found->second.remaining != INFINITE && --found->second.remaining == 0) hostilities.erase(found);
    return hostility;
}

LONG ReturnAnswer(Service& service, const Hostility& hostility, const void* data, DWORD count, size_t elementSize,
                  void* buffer, DWORD* length)
{
    if (hostility.mode == SIM_HOSTILE_NONE || !buffer || !length || *length != SCARD_AUTOALLOCATE) {
        return ReturnBuffer(service, data, count, elementSize, buffer, length);
    }
    const DWORD parameter = hostility.parameter;
    DWORD stored = count;    // elements placed in the buffer
    DWORD reported = count;  // what the length says
    switch (hostility.mode) {
    case SIM_HOSTILE_CUT_TAIL: stored = reported = count - std::min(parameter, count); break;
    case SIM_HOSTILE_LENGTH_SHORT: reported = count - std::min(parameter, count); break;
    case SIM_HOSTILE_LENGTH_LONG:
        reported = count + std::min(parameter, static_cast<DWORD>(SCARD_AUTOALLOCATE - 1 - count));
        break;
    case SIM_HOSTILE_NULL_ANSWER:
        *static_cast<void**>(buffer) = nullptr;
        *length = count;
        return SCARD_S_SUCCESS;
    case SIM_HOSTILE_ANSWER_AND_FAIL: break;
    default: return ReturnBuffer(service, data, count, elementSize, buffer, length);
    }
    void* memory = service.Allocate(stored * elementSize);
    if (!memory) return SCARD_E_NO_MEMORY;
    std::memcpy(memory, data, stored * elementSize);
    *static_cast<void**>(buffer) = memory;
    *length = reported;
    return hostility.mode == SIM_HOSTILE_ANSWER_AND_FAIL ? static_cast<LONG>(parameter) : SCARD_S_SUCCESS;
}

}  // namespace scardsim

using namespace scardsim;

void SIMAPI SimSetHostile(LPCSTR operation, DWORD mode, DWORD parameter, DWORD count)
{
    GuardedControl([&] {
        if (!operation) return;
        EnsureStarted();
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        service.SetHostileLocked(operation, mode, parameter, count);
    });
}
