#include "dispatch_fuzz/task_allocations.h"

#include <objbase.h>

#include <atomic>

namespace quorvex::test {
namespace {

class CountingSpy final : public IMallocSpy {
public:
    LONG live() const noexcept { return live_.load(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    // A static object: the runtime may keep it until the process ends.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override { return size; }
    STDMETHODIMP_(void*) PostAlloc(void* block) override
    {
        if (block) ++live_;
        return block;
    }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL spied) override
    {
        if (block && spied) --live_;
        return block;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    // A reallocation keeps the count, except that it may start from nothing
    // or end in nothing.
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T size, void** request, BOOL spied) override
    {
        *request = block;
        if (block && size == 0 && spied) --live_;
        reallocFromNothing_ = block == nullptr;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override
    {
        if (block && reallocFromNothing_) ++live_;
        return block;
    }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    std::atomic<LONG> live_{0};
    // The runtime serialises spy calls, so Pre/PostRealloc pair up.
    bool reallocFromNothing_ = false;
};

CountingSpy g_spy;

}  // namespace

bool InstallTaskAllocationSpy() noexcept { return SUCCEEDED(::CoRegisterMallocSpy(&g_spy)); }

LONG LiveTaskAllocations() noexcept { return g_spy.live(); }

}  // namespace quorvex::test
