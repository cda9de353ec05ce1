// The simulated service's hostile modes do what the product tests rely on:
// each shapes its answer as promised, for as many calls as asked, and every
// service buffer ends right before an inaccessible page.
#include <cstring>
#include <thread>

#include "hostile_pcsc/hostile_fixture.h"
#include "scardsim/sim_test_util.h"

namespace hostile_test {
namespace {

using scardsim_test::SimWithContext;

bool Readable(const void* address)
{
    MEMORY_BASIC_INFORMATION info{};
    if (!::VirtualQuery(address, &info, sizeof info) || info.State != MEM_COMMIT) return false;
    return (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0;
}

struct Shape {
    const char* name;
    DWORD mode;
    DWORD parameter;
    LONG result;
    bool nullAnswer;
    DWORD length;  // reported
    DWORD stored;  // characters before the inaccessible page
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

// "A\0BC\0\0": six characters.
const Shape kShapes[] = {
    {"Whole", SIM_HOSTILE_NONE, 0, SCARD_S_SUCCESS, false, 6, 6},
    {"CutTail", SIM_HOSTILE_CUT_TAIL, 1, SCARD_S_SUCCESS, false, 5, 5},
    {"CutEverything", SIM_HOSTILE_CUT_TAIL, 99, SCARD_S_SUCCESS, false, 0, 0},
    {"LengthShort", SIM_HOSTILE_LENGTH_SHORT, 2, SCARD_S_SUCCESS, false, 4, 6},
    {"LengthLong", SIM_HOSTILE_LENGTH_LONG, 10, SCARD_S_SUCCESS, false, 16, 6},
    {"NullAnswer", SIM_HOSTILE_NULL_ANSWER, 0, SCARD_S_SUCCESS, true, 6, 0},
    {"AnswerAndFail", SIM_HOSTILE_ANSWER_AND_FAIL, static_cast<DWORD>(SCARD_E_NO_MEMORY), SCARD_E_NO_MEMORY, false, 6,
     6},
};

class ShapeTest : public SimWithContext, public ::testing::WithParamInterface<Shape> {};

TEST_P(ShapeTest, ListAnswerIsShapedForTheGivenNumberOfCalls)
{
    const Shape& s = GetParam();
    ASSERT_TRUE(SimAddReader(L"A"));
    ASSERT_TRUE(SimAddReader(L"BC"));
    SimSetHostile("SCardListReadersW", s.mode, s.parameter, 2);
    for (int call = 0; call < 3; ++call) {
        const Shape& want = call < 2 ? s : kShapes[0];
        SCOPED_TRACE(call);
        LPWSTR list = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        EXPECT_EQ(want.result, SCardListReadersW(context_, nullptr, reinterpret_cast<LPWSTR>(&list), &length));
        EXPECT_EQ(want.length, length);
        ASSERT_EQ(want.nullAnswer, list == nullptr);
        if (!list) continue;
        EXPECT_EQ(0, std::wmemcmp(L"A\0BC\0", list, std::min<DWORD>(want.stored, 5)));
        EXPECT_FALSE(Readable(list + want.stored)) << "no fence after the answer";
        if (want.stored > 0) {
            EXPECT_TRUE(Readable(list + want.stored - 1));
        }
        EXPECT_EQ(SCARD_S_SUCCESS, SCardFreeMemory(context_, list));
    }
    EXPECT_EQ(DWORD{GetCurrentThreadId()}, SimLastCallerThread("SCardListReadersW"));
}

INSTANTIATE_TEST_SUITE_P(Modes, ShapeTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

using HostileService = SimWithContext;

TEST_F(HostileService, WaitsAnswerAtOnceWithoutAChangeOrHangUntilCancelled)
{
    ASSERT_TRUE(SimAddReader(L"A"));
    SCARD_READERSTATEW record = scardsim_test::Record(L"A", SCARD_STATE_EMPTY);
    record.dwEventState = 0x1234;
    SimSetHostile("SCardGetStatusChangeW", SIM_HOSTILE_WAIT_NO_CHANGE, 0, 1);
    EXPECT_EQ(SCARD_S_SUCCESS, SCardGetStatusChangeW(context_, INFINITE, &record, 1));
    EXPECT_EQ(DWORD{SCARD_STATE_EMPTY}, record.dwEventState);
    SimSetHostile("SCardGetStatusChangeW", SIM_HOSTILE_WAIT_CHANGED_FLAG, 0, 1);
    EXPECT_EQ(SCARD_S_SUCCESS, SCardGetStatusChangeW(context_, INFINITE, &record, 1));
    EXPECT_EQ(DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED}, record.dwEventState);

    // A hanging wait ignores its zero timeout and a change; only the cancel ends it.
    SimSetHostile("SCardGetStatusChangeW", SIM_HOSTILE_WAIT_HANG, 0, 1);
    std::thread canceller([this] {
        SimWaitForPendingWaits(1, 5000);
        SimRemoveReader(L"A");
        ::Sleep(50);
        SCardCancel(context_);
    });
    EXPECT_EQ(SCARD_E_CANCELLED, SCardGetStatusChangeW(context_, 0, &record, 1));
    canceller.join();
}

TEST_F(HostileService, AtrLengthLiesWithoutWritingPastTheBufferAndHandlesMayBeNull)
{
    ASSERT_TRUE(SimAddReader(L"A"));
    ASSERT_TRUE(scardsim::InsertCard(L"A", scardsim_test::kDualAtr));  // 8 bytes
    SCARDHANDLE card = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, Connect(L"A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card));
    for (DWORD lie : {0u, 40u}) {
        BYTE atr[6] = {0, 0, 0, 0, 0xEE, 0xEE};  // a buffer of 4 and a fence
        const BYTE fence[2] = {0xEE, 0xEE};
        DWORD atrLength = 4;
        SimSetHostile("SCardStatusW", SIM_HOSTILE_ATR_LENGTH, lie, 1);
        EXPECT_EQ(SCARD_S_SUCCESS, SCardStatusW(card, nullptr, nullptr, nullptr, nullptr, atr, &atrLength));
        EXPECT_EQ(lie, atrLength);
        EXPECT_EQ(0, std::memcmp(atr, scardsim_test::kDualAtr.data(), 4));
        EXPECT_EQ(0, std::memcmp(atr + 4, fence, 2)) << "written past the caller's buffer";
    }
    EXPECT_EQ(SCARD_S_SUCCESS, SCardDisconnect(card, SCARD_LEAVE_CARD));

    SimSetHostile("SCardEstablishContext", SIM_HOSTILE_ZERO_HANDLE, 0, 1);
    SimSetHostile("SCardConnectW", SIM_HOSTILE_ZERO_HANDLE, 0, 1);
    SCARDCONTEXT context = 0x77;
    EXPECT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    EXPECT_EQ(0u, context);
    card = 0x77;
    EXPECT_EQ(SCARD_S_SUCCESS, Connect(L"A", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card));
    EXPECT_EQ(0u, card);
    EXPECT_EQ(1u, SimOpenContexts());  // the fixture's only
    EXPECT_EQ(0u, SimOpenCardHandles());
}

TEST_F(HostileService, InjectedResultsComeInTurn)
{
    const LONG results[] = {SCARD_E_NO_MEMORY, SCARD_W_EOF, -1};
    SimInjectResults("SCardIsValidContext", results, 3);
    for (LONG result : results) EXPECT_EQ(result, SCardIsValidContext(context_));
    EXPECT_EQ(SCARD_S_SUCCESS, SCardIsValidContext(context_));
}

}  // namespace
}  // namespace hostile_test
