// Many whole captures in a row must leave the process as they found it: the
// handle count and the private bytes stay flat after a warm-up, and the
// service gets back every context, card handle and buffer.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>

#include "capture/capture_fixture.h"
#include "support/stress_size.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

// A sink that only counts, so that the test's own bookkeeping does not grow
// with the number of cycles.
class CountingSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
            !IsEqualIID(iid, quorvex::test::kEventDiid)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives in the test
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (dispid == 2) {
            ++dataReady_;
            ::SetEvent(dataReadyEvent_.get());
        } else {
            ++other_;
        }
        return S_OK;
    }

    void ForgetDataReady() const { ::ResetEvent(dataReadyEvent_.get()); }
    bool WaitForDataReady() const { return ::WaitForSingleObject(dataReadyEvent_.get(), 10000) == WAIT_OBJECT_0; }
    long dataReady() const { return dataReady_; }
    long other() const { return other_; }
    ULONG refs() const { return refs_; }

private:
    std::atomic<ULONG> refs_{1};
    std::atomic<long> dataReady_{0}, other_{0};
    quorvex::UniqueHandle dataReadyEvent_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

// Wine reports neither figure (0): then count the handle values that name an
// open object, and add up committed private memory. `source` says which.
DWORD HandleCount(const char** source)
{
    DWORD count = 0;
    *source = "GetProcessHandleCount";
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
    *source = "open handle values";
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

LONGLONG PrivateBytes(const char** source)
{
    *source = "PrivateUsage";
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters)) &&
        counters.PrivateUsage != 0) {
        return static_cast<LONGLONG>(counters.PrivateUsage);
    }
    *source = "committed private pages";
    LONGLONG total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; ::VirtualQuery(address, &region, sizeof(region)) == sizeof(region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += static_cast<LONGLONG>(region.RegionSize);
        const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

using CycleTest = CaptureTest;

// Most cycles deliver a card; every 25th has none and ends with EndCapture
// alone; every 7th has a second, unknown card in the other reader so that the
// capture may end on either.
TEST_F(CycleTest, CaptureCyclesKeepHandlesAndPrivateBytesFlat)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    CountingSink counting;
    DWORD countingCookie = 0;
    ASSERT_EQ(S_OK, quorvex::test::UnadviseEvents(plugin.get(), cookie));
    ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), &counting, &countingCookie));

    long expectedDataReady = 0;
    auto cycle = [&](int i) {
        counting.ForgetDataReady();
        ASSERT_EQ(0, StartCapture());
        if (i % 25 == 0) {
            // Half of them stop a watch that waits, half one that may not have begun.
            if (i % 50 == 0) {
                ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
            }
        } else {
            if (i % 7 == 0) {
                ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrUnknown));
            }
            ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
            if (i % 7 != 0) {
                ASSERT_TRUE(counting.WaitForDataReady());
                ++expectedDataReady;
            }
        }
        ASSERT_EQ(0, EndCapture());
        SimRemoveCard(L"Reader Zero");
        SimRemoveCard(L"Reader One");
    };

    // The warm-up runs every kind of cycle at least once, so that what the
    // platform sets up on first use is there before the first figures.
    const int warmUp = static_cast<int>(quorvex::test::StressCount(60, 500));
    const int cycles = static_cast<int>(quorvex::test::StressCount(300, 10000));
    for (int i = 1; i <= warmUp; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    const char* handleSource = nullptr;
    const char* bytesSource = nullptr;
    const DWORD handlesBefore = HandleCount(&handleSource);
    const LONGLONG bytesBefore = PrivateBytes(&bytesSource);
    const long dataReadyBefore = counting.dataReady();
    for (int i = 1; i <= cycles; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i)) << "cycle " << i;
    const DWORD handlesAfter = HandleCount(&handleSource);
    const LONGLONG bytesAfter = PrivateBytes(&bytesSource);

    std::printf(
        "%d cycles after %d warm-up (%ld DataReady): handles (%s) %lu -> %lu, private bytes (%s) %lld -> "
        "%lld (%+lld)\n",
        cycles, warmUp, counting.dataReady() - dataReadyBefore, handleSource, static_cast<unsigned long>(handlesBefore),
        static_cast<unsigned long>(handlesAfter), bytesSource, bytesBefore, bytesAfter, bytesAfter - bytesBefore);
    RecordProperty("cycles", cycles);
    RecordProperty("handles_before", static_cast<int>(handlesBefore));
    RecordProperty("handles_after", static_cast<int>(handlesAfter));
    RecordProperty("private_kib_before", static_cast<int>(bytesBefore / 1024));
    RecordProperty("private_kib_after", static_cast<int>(bytesAfter / 1024));

    // Small fixed slack: a handle or two of the platform's own caching, and
    // heap that a few allocator arenas may still round up.
    EXPECT_LE(handlesAfter, handlesBefore + 4);
    EXPECT_LE(bytesAfter, bytesBefore + 512 * 1024);
    EXPECT_GE(counting.dataReady(), expectedDataReady);
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimOpenCardHandles());
    EXPECT_EQ(0u, SimUnfreedBuffers());

    ASSERT_EQ(S_OK, quorvex::test::UnadviseEvents(plugin.get(), countingCookie));
    EXPECT_EQ(1u, counting.refs());
}

}  // namespace
}  // namespace capture_test
