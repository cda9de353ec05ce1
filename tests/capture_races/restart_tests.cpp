// StartCapture at once after the event that ends a capture (DataReady or
// Failed), in a tight loop: the new capture always starts, whether the host
// reacts on its own thread or from inside the event's handler, while the old
// worker may still be disconnecting and releasing its context.
#include <atomic>
#include <cstdio>

#include "capture_races/races_fixture.h"
#include "support/stress_size.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

struct Restart {
    const char* name;
    const std::vector<BYTE>* atr = &kAtrAlpha;  // the card that stays in the reader; null: none
    LONG connect = 0;                           // the card's connection result
    DWORD service = SIM_SERVICE_RUNNING;
    const wchar_t* finalEvent;               // the event that ends each capture
    const wchar_t* trailingEvent = nullptr;  // one more event after it
    bool fromHandler = false;                // StartCapture inside the final event's handler
};

void PrintTo(const Restart& c, std::ostream* os) { *os << c.name; }

const Restart kRestarts[] = {
    {.name = "AfterDataReady", .finalEvent = L"DataReady Alpha Card|Reader Zero|Alpha CSP"},
    {.name = "InsideDataReady", .finalEvent = L"DataReady Alpha Card|Reader Zero|Alpha CSP", .fromHandler = true},
    {.name = "AfterUnknownCard",
     .atr = &kAtrUnknown,
     .finalEvent = L"Failed 210",
     .trailingEvent = L"StatusChanged 0x80DE"},
    {.name = "AfterConnectError", .connect = SCARD_W_RESET_CARD, .finalEvent = L"Failed 213"},
    {.name = "InsideConnectError", .connect = SCARD_W_RESET_CARD, .finalEvent = L"Failed 213", .fromHandler = true},
    {.name = "AfterServiceStopped", .atr = nullptr, .service = SIM_SERVICE_STOPPED, .finalEvent = L"Failed 208"},
};

class RestartTest : public RaceTest, public ::testing::WithParamInterface<Restart> {};

TEST_P(RestartTest, StartCaptureRightAfterTheFinalEventStartsANewCapture)
{
    const Restart& c = GetParam();
    UseReaders({L"Reader Zero"});
    if (c.atr) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", *c.atr));
    }
    if (c.connect) {
        ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", c.connect));
    }
    SimSetServiceState(c.service);
    // The old worker still has its context to release when the host reacts.
    SimSetDelay("SCardReleaseContext", 2);

    const int captures = static_cast<int>(quorvex::test::StressCount(150, 5000));
    const quorvex::UniqueHandle ended(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::atomic<int> finals{0}, refusedInside{0};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid == 1) return;
        if (!c.fromHandler) {
            ::SetEvent(ended.get());
        } else if (++finals < captures) {
            if (StartCapture() != 0) ++refusedInside;
        }
    });

    if (c.fromHandler) {
        ASSERT_EQ(0, StartCapture());
        ASSERT_TRUE(WaitUntil([&] { return finals >= captures || refusedInside > 0; }, 60000));
        ASSERT_EQ(0, refusedInside) << "StartCapture refused inside the final event's handler";
    } else {
        for (int i = 0; i < captures; ++i) {
            ASSERT_EQ(0, StartCapture()) << "capture " << i << " refused right after the previous one's final event";
            ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ended.get(), 10000)) << "capture " << i << " did not end";
        }
    }
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    std::printf("%s: %d captures\n", c.name, captures);
    RecordProperty("captures", captures);
    // Every capture ended with its own events; no start was refused (0x40D9).
    int endings = 0, trailing = 0, started = 0, other = 0;
    for (const SinkCall& call : sink->Calls()) {
        const std::wstring text = Describe(call);
        if (text == c.finalEvent)
            ++endings;
        else if (c.trailingEvent && text == c.trailingEvent)
            ++trailing;
        else if (text == L"StatusChanged 0x20CC")
            ++started;
        else
            ++other;
    }
    EXPECT_EQ(captures, endings);
    EXPECT_EQ(c.trailingEvent ? captures : 0, trailing);
    EXPECT_EQ(captures, started);
    EXPECT_EQ(0, other);
}

INSTANTIATE_TEST_SUITE_P(Races, RestartTest, ::testing::ValuesIn(kRestarts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace capture_test
