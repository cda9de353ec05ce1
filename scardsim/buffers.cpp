// Service-allocated memory (SCARD_AUTOALLOCATE) and SCardFreeMemory. Every
// buffer is tracked until it is freed so that tests can assert that the code
// under test gives back all it received, and is fenced so that they see any
// read past its end.
#include "service.h"

#include "guarded.h"

#include <cstring>

namespace scardsim {

namespace {

SIZE_T PageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

}  // namespace

// Every buffer ends where an inaccessible page begins: a caller that reads a
// single byte past what it was handed faults at once instead of reading junk.
// The start lies less than a page past the allocation base, so rounding it
// down finds the allocation again.
void* Service::Allocate(size_t bytes)
{
    if (!fenceBuffers) {
        // Benchmarks: a fence costs two system calls per buffer, which would
        // dwarf the code being measured.
        void* memory = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
        if (!memory) return nullptr;
        buffers.insert(memory);
        plainBuffers.insert(memory);
        return memory;
    }
    static const SIZE_T page = PageSize();
    const SIZE_T dataPages = (bytes + page - 1) / page;
    const SIZE_T total = (dataPages + 1) * page;
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) return nullptr;
    DWORD old = 0;
    if (!VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    void* memory = base + dataPages * page - bytes;
    buffers.insert(memory);
    return memory;
}

bool Service::Free(const void* memory)
{
    static const SIZE_T page = PageSize();
    if (buffers.erase(memory) == 0 && forgottenBuffers.erase(memory) == 0) return false;
    if (plainBuffers.erase(memory) != 0) {
        HeapFree(GetProcessHeap(), 0, const_cast<void*>(memory));
        return true;
    }
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(memory) & ~static_cast<ULONG_PTR>(page - 1);
    VirtualFree(reinterpret_cast<void*>(base), 0, MEM_RELEASE);
    return true;
}

bool CallerBufferTooSmall(const void* buffer, const DWORD* length, DWORD count)
{
    return buffer && length && *length != SCARD_AUTOALLOCATE && *length < count;
}

LONG ReturnBuffer(Service& service, const void* data, DWORD count, size_t elementSize, void* buffer, DWORD* length)
{
    if (!length) return SCARD_E_INVALID_PARAMETER;
    if (!buffer) {
        *length = count;
        return SCARD_S_SUCCESS;
    }
    if (*length == SCARD_AUTOALLOCATE) {
        void* memory = service.Allocate(count * elementSize);
        if (!memory) return SCARD_E_NO_MEMORY;
        std::memcpy(memory, data, count * elementSize);
        *static_cast<void**>(buffer) = memory;
        *length = count;
        return SCARD_S_SUCCESS;
    }
    if (*length < count) {
        *length = count;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, data, count * elementSize);
    *length = count;
    return SCARD_S_SUCCESS;
}

}  // namespace scardsim

using namespace scardsim;

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardFreeMemory")) return *injected;
        if (!pvMem) return SCARD_S_SUCCESS;
        Service& service = Instance();
        std::lock_guard lock(service.mutex);
        // The context is not checked: a buffer outlives the context it came from,
        // and freeing it late must still count as freed. A pointer the service
        // never handed out (or a second free) is refused instead of corrupting the heap.
        return service.Free(pvMem) ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
    });
}
