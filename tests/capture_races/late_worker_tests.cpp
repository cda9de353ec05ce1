// The last reference to a capturing object released while a sink holds the
// worker for longer than the stop waits (its bound shortened in the loaded
// DLL). The test runs itself again in a child under a debugger, which
// receives the stop's texts; the child loads the real Quorvex.dll, the way a
// host does, so that the module's unloading is checked as well.
#include <gtest/gtest.h>
#include <ocidl.h>

#include <atomic>
#include <optional>
#include <string>

#include "capture/capture_fixture.h"
#include "support/capture_timing_seam.h"
#include "support/debugger_channel.h"
#include "support/quorvex_dll.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

const std::string kGraceful = "SUCCESS: worker thread was terminated gracefully\n";
const std::string kNotGraceful = "FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";
const std::string kMark = "-- last release --\n";

TEST(LateWorkerTest, ReleaseWhileASinkBlocksPastTheStopBoundLeavesAnUnloadableModule)
{
    if (::GetEnvironmentVariableW(L"QUORVEX_RACES_CHILD", nullptr, 0) == 0) {
        const std::vector<std::string> texts = quorvex::test::RunCurrentTestUnderDebugger(
            L"QUORVEX_RACES_CHILD", {kGraceful, kNotGraceful, kMark});
        // The release's stop times out; the late worker ends by itself later.
        EXPECT_EQ(std::vector<std::string>({kMark, kNotGraceful, kGraceful}), texts);
        return;
    }

    SimReset();
    ASSERT_TRUE(SimAddReader(L"Reader Zero"));
    ASSERT_TRUE(SimAddReader(L"Reader One"));
    ASSERT_TRUE(scardsim::AddCardType(L"Alpha Card", kAtrAlpha, L"Alpha CSP"));
    const std::wstring modulePath = quorvex::test::BinPath(L"Quorvex.dll");
    std::optional<quorvex::test::QuorvexDll> dll(std::in_place);
    // Given back before the DLL goes.
    std::optional<quorvex::test::ShortCaptureTiming> timing(std::in_place, dll->module());
    ASSERT_TRUE(timing->found());

    ComPtr<IPkiAuthenticationPlugin> plugin;
    ASSERT_EQ(S_OK, dll->CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()));
    LONG count = 0, rc = -1;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));

    const ComPtr<TestSink> sink = TestSink::Create();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), sink.get(), &cookie));
    // Held by the object until it is destroyed, and never called.
    const ComPtr<TestSink> holder = TestSink::Create({.answersEventDiid = false, .answersPropertyNotifySink = true});
    ASSERT_EQ(S_OK,
              quorvex::test::FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink)->Advise(holder.get(), &cookie));
    ASSERT_EQ(2u, holder->RefCount());

    // The warning's handler holds the worker until the test lets it go,
    // after the stop has given up on it.
    const quorvex::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> entered{false}, returned{false};
    sink->SetHandler([&](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB) return;
        entered = true;
        ::WaitForSingleObject(release.get(), 30000);
        returned = true;
    });
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
    ASSERT_EQ(0, rc);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));

    ::OutputDebugStringA(kMark.c_str());
    plugin.reset();
    // Back on the stop's time-out, with the sink still inside the event: the
    // object is gone (it let go of what it held), the late worker is not.
    EXPECT_FALSE(returned);
    EXPECT_EQ(1u, holder->RefCount());
    EXPECT_EQ(1u, SimCallCount("SCardCancel"));
    EXPECT_EQ(S_FALSE, dll->CanUnloadNow());

    // A card that a watch still going would find.
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    ::SetEvent(release.get());
    EXPECT_TRUE(WaitUntil([&] { return returned && dll->CanUnloadNow() == S_OK; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return SimOpenContexts() == 0 && sink->RefCount() == 1; }, 5000));
    ::Sleep(200);
    EXPECT_EQ(Events({L"StatusChanged 0x20CC", L"StatusChanged 0x50DB"}), [&] {
        Events events;
        for (const SinkCall& call : sink->Calls()) events.push_back(Describe(call));
        return events;
    }());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(0u, SimOpenCardHandles());
    EXPECT_EQ(0u, SimUnfreedBuffers());

    timing.reset();
    dll.reset();
    EXPECT_TRUE(WaitUntil([&] { return ::GetModuleHandleW(modulePath.c_str()) == nullptr; }, 5000))
        << "Quorvex.dll still loaded";
}

}  // namespace
}  // namespace capture_test
