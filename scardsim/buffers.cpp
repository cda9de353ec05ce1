// Service-allocated memory (SCARD_AUTOALLOCATE) and SCardFreeMemory. Every
// buffer is tracked until it is freed so that tests can assert that the code
// under test gives back all it received.
#include "service.h"

#include "guarded.h"

#include <cstring>

namespace scardsim {

void* Service::Allocate(size_t bytes) {
  void* memory = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
  if (memory) buffers.insert(memory);
  return memory;
}

bool Service::Free(const void* memory) {
  if (buffers.erase(memory) == 0 && forgottenBuffers.erase(memory) == 0) return false;
  HeapFree(GetProcessHeap(), 0, const_cast<void*>(memory));
  return true;
}

bool CallerBufferTooSmall(const void* buffer, const DWORD* length, DWORD count) {
  return buffer && length && *length != SCARD_AUTOALLOCATE && *length < count;
}

LONG ReturnBuffer(Service& service, const void* data, DWORD count, size_t elementSize, void* buffer, DWORD* length) {
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

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem) {
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
