// Answers of the wrong shape: lists and names cut short, lengths that lie,
// null answers, answers handed out together with an error, ATR lengths of 0
// or beyond the buffer, null handles, huge and renamed readers and card
// types. Service buffers end at an inaccessible page, so reading past what
// the service handed out crashes the test program instead of passing.
#include "hostile_pcsc/hostile_fixture.h"

namespace hostile_test {
namespace {

using Names = std::vector<std::wstring>;

struct ListCase {
    const char* name;
    DWORD mode;
    DWORD parameter;
    HRESULT hr;
    Names names;  // the reader table afterwards, from slot 0
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

// The service lists "Reader 1\0Reader 10\0\0" (20 characters). A name counts
// only when its terminator lies within the length the service gave: a name
// cut short may name another reader ("Reader 10" cut to "Reader 1").
const ListCase kListCases[] = {
    {"Whole", SIM_HOSTILE_NONE, 0, S_OK, {L"Reader 1", L"Reader 10"}},
    {"NoClosingEmptyName", SIM_HOSTILE_CUT_TAIL, 1, S_OK, {L"Reader 1", L"Reader 10"}},
    {"LastNameUnterminated", SIM_HOSTILE_CUT_TAIL, 2, S_OK, {L"Reader 1", L"<null>"}},
    {"LastNameCutToAnotherReader", SIM_HOSTILE_CUT_TAIL, 3, S_OK, {L"Reader 1", L"<null>"}},
    {"OnlyTheFirstNameLeft", SIM_HOSTILE_CUT_TAIL, 11, S_OK, {L"Reader 1", L"<null>"}},
    {"FirstNameUnterminated", SIM_HOSTILE_CUT_TAIL, 12, S_OK, {L"<null>"}},
    {"EmptyAnswer", SIM_HOSTILE_CUT_TAIL, 20, S_OK, {L"<null>"}},
    {"LengthOneShort", SIM_HOSTILE_LENGTH_SHORT, 1, S_OK, {L"Reader 1", L"Reader 10"}},
    {"LengthCutsTheLastTerminator", SIM_HOSTILE_LENGTH_SHORT, 2, S_OK, {L"Reader 1", L"<null>"}},
    {"LengthCutsIntoTheLastName", SIM_HOSTILE_LENGTH_SHORT, 3, S_OK, {L"Reader 1", L"<null>"}},
    {"LengthZero", SIM_HOSTILE_LENGTH_SHORT, 20, S_OK, {L"<null>"}},
    {"LengthTooLong", SIM_HOSTILE_LENGTH_LONG, 1000, S_OK, {L"Reader 1", L"Reader 10"}},
    {"NullList", SIM_HOSTILE_NULL_ANSWER, 0, E_FAIL, {L"<null>"}},
    {"ListWithAnError", SIM_HOSTILE_ANSWER_AND_FAIL, static_cast<DWORD>(SCARD_E_NO_MEMORY), E_FAIL, {L"<null>"}},
    {"ListWithNoReaders",
     SIM_HOSTILE_ANSWER_AND_FAIL,
     static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE),
     S_OK,
     {L"<null>"}},
};

class ReaderListTest : public HostileTest, public ::testing::WithParamInterface<ListCase> {
protected:
    std::wstring Slot(LONG slot)
    {
        quorvex::UniqueBstr name;
        EXPECT_EQ(S_OK, plugin->GetDeviceID(slot, name.put()));
        return name ? std::wstring(name.view()) : L"<null>";
    }
};

TEST_P(ReaderListTest, OnlyWholeNamesWithinTheLengthAreStored)
{
    const ListCase& c = GetParam();
    ASSERT_TRUE(SimAddReader(L"Reader 1"));
    ASSERT_TRUE(SimAddReader(L"Reader 10"));
    SimSetHostile("SCardListReadersW", c.mode, c.parameter, 1);
    LONG count = -1;
    EXPECT_EQ(c.hr, plugin->GetDeviceCount(nullptr, nullptr, &count));
    Names table;
    for (LONG slot = 0; slot < static_cast<LONG>(c.names.size()); ++slot) table.push_back(Slot(slot));
    EXPECT_EQ(c.names, table);
    const LONG stored = static_cast<LONG>(
        std::count_if(c.names.begin(), c.names.end(), [](const std::wstring& n) { return n != L"<null>"; }));
    EXPECT_EQ(stored, count);
    EXPECT_EQ(c.hr == S_OK ? static_cast<ULONG>(stored) : 0u, object().readerCount());
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReaderListTest, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Answers during identification, with a card of type "Alpha Card" (CSP
// "Alpha CSP") present in reader 0 at the start.
struct AnswerCase {
    const char* name;
    const char* operation;
    DWORD mode;
    DWORD parameter;
    Events events;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

const Events kAlpha = {L"DataReady Alpha Card|Reader Zero|Alpha CSP"};
const Events kUnknownType = {L"Failed 210", L"StatusChanged 0x80DE"};
const DWORD kNoMemory = static_cast<DWORD>(SCARD_E_NO_MEMORY);

const AnswerCase kAnswerCases[] = {
    // The card list "Alpha Card\0\0": only a first name terminated within the
    // length names a card type; the provider lookup gets that terminated name.
    {"CardsWithoutClosingEmptyName", "SCardListCardsW", SIM_HOSTILE_CUT_TAIL, 1, kAlpha},
    {"CardNameUnterminated", "SCardListCardsW", SIM_HOSTILE_CUT_TAIL, 2, kUnknownType},
    {"CardNameCutShort", "SCardListCardsW", SIM_HOSTILE_CUT_TAIL, 5, kUnknownType},
    {"CardsEmptyAnswer", "SCardListCardsW", SIM_HOSTILE_CUT_TAIL, 12, kUnknownType},
    {"CardsLengthCutsTheTerminator", "SCardListCardsW", SIM_HOSTILE_LENGTH_SHORT, 2, kUnknownType},
    {"CardsLengthTooLong", "SCardListCardsW", SIM_HOSTILE_LENGTH_LONG, 5000, kAlpha},
    {"NullCardList", "SCardListCardsW", SIM_HOSTILE_NULL_ANSWER, 0, kUnknownType},
    {"CardListWithAnError", "SCardListCardsW", SIM_HOSTILE_ANSWER_AND_FAIL, kNoMemory, {L"Failed 215"}},
    // The provider name "Alpha CSP\0": a name cut short would name another CSP.
    {"ProviderUnterminated", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_CUT_TAIL, 1, {L"Failed 210"}},
    {"ProviderCutShort", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_CUT_TAIL, 4, {L"Failed 210"}},
    {"ProviderEmptyAnswer", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_CUT_TAIL, 10, {L"Failed 210"}},
    {"ProviderLengthCutsTheTerminator", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_LENGTH_SHORT, 1, {L"Failed 210"}},
    {"ProviderLengthTooLong", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_LENGTH_LONG, 70000, kAlpha},
    {"NullProvider", "SCardGetCardTypeProviderNameW", SIM_HOSTILE_NULL_ANSWER, 0, {L"Failed 210"}},
    {"ProviderWithAnError",
     "SCardGetCardTypeProviderNameW",
     SIM_HOSTILE_ANSWER_AND_FAIL,
     ERROR_FILE_NOT_FOUND,
     {L"Failed 210"}},
    // The reader name of the card status is not used: its shape does not matter.
    {"StatusReaderNameCut", "SCardStatusW", SIM_HOSTILE_CUT_TAIL, 5, kAlpha},
    {"StatusReaderNameLengthTooLong", "SCardStatusW", SIM_HOSTILE_LENGTH_LONG, 100, kAlpha},
    {"NullStatusReaderName", "SCardStatusW", SIM_HOSTILE_NULL_ANSWER, 0, kAlpha},
    {"StatusReaderNameWithAnError", "SCardStatusW", SIM_HOSTILE_ANSWER_AND_FAIL, kNoMemory, {L"Failed 216"}},
    // The ATR length must lie within 1 and the buffer's 33 bytes; the ATR
    // itself (4 bytes) is what the card database reads.
    {"AtrLengthZero", "SCardStatusW", SIM_HOSTILE_ATR_LENGTH, 0, {L"Failed 216"}},
    {"AtrLengthOfTheWholeBuffer", "SCardStatusW", SIM_HOSTILE_ATR_LENGTH, 33, kAlpha},
    {"AtrLengthBeyondTheBuffer", "SCardStatusW", SIM_HOSTILE_ATR_LENGTH, 34, {L"Failed 216"}},
    {"AtrLengthHuge", "SCardStatusW", SIM_HOSTILE_ATR_LENGTH, 0xFFFFFFF0, {L"Failed 216"}},
    // Success without a handle: nothing to use and nothing to release.
    {"NullCardHandle", "SCardConnectW", SIM_HOSTILE_ZERO_HANDLE, 0, {L"Failed 216"}},
    {"NullWatchContext", "SCardEstablishContext", SIM_HOSTILE_ZERO_HANDLE, 0, {L"Failed 218"}},
};

class AnswerShapeTest : public HostileTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerShapeTest, IdentificationEndsAsTheAnswerAllows)
{
    const AnswerCase& c = GetParam();
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(1);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    SimSetHostile(c.operation, c.mode, c.parameter, 1);
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(c.events, EndedWorkerEvents());
    // Every failure leaves one clear error record.
    const bool failed = c.events[0].starts_with(L"Failed");
    EXPECT_EQ(failed ? 1u : 0u, LinesWith(Log(), "*** ").size()) << Log();
}

INSTANTIATE_TEST_SUITE_P(Shapes, AnswerShapeTest, ::testing::ValuesIn(kAnswerCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileTest, EnumerationWithANullContextStillWorks)
{
    ASSERT_TRUE(SimAddReader(L"Reader Zero"));
    SimSetHostile("SCardEstablishContext", SIM_HOSTILE_ZERO_HANDLE, 0, 1);
    LONG count = 0;
    EXPECT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    EXPECT_EQ(1, count);
}

// A 1-byte ATR and one of 33 bytes, neither registered: the database has no
// card type for them.
TEST_F(HostileTest, AtrsOfOneAndThirtyThreeBytesWithoutACardType)
{
    std::vector<BYTE> longAtr = kAtrLong;
    longAtr[20] ^= 0x01;
    longAtr.back() ^= 0x01;  // the check byte still matches
    for (const std::vector<BYTE>& atr : {scardsim::AtrFromHex("3B"), longAtr}) {
        UseReaders({L"Reader Zero"});
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", atr));
        ASSERT_EQ(0, StartCapture());
        EXPECT_EQ(kUnknownType, EndedWorkerEvents());
        Renew();
    }
}

// Names of 4 KB, and more readers than anyone attaches.
TEST_F(HostileTest, ThousandsOfReadersWithLongNamesFillSixteenSlotsIntact)
{
    const size_t readers = quorvex::test::StressCount(1000, 10000);
    std::vector<std::wstring> names;
    for (size_t i = 0; i < readers; ++i) {
        std::wstring name = L"Reader " + std::to_wstring(i) + L" ";
        name.resize(i % 3 == 0 ? 4096 : name.size() + i % 50, static_cast<wchar_t>(L'a' + i % 26));
        names.push_back(name);
        ASSERT_TRUE(SimAddReader(name.c_str()));
    }
    LONG count = 0;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    EXPECT_EQ(16, count);
    for (LONG slot = 0; slot < 16; ++slot) {
        quorvex::UniqueBstr name;
        ASSERT_EQ(S_OK, plugin->GetDeviceID(slot, name.put()));
        EXPECT_EQ(names[static_cast<size_t>(slot)], std::wstring(name.view()));
    }
    LONG rc = -1;
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    ASSERT_TRUE(scardsim::InsertCard(names[15].c_str(), kAtrAlpha));
    ASSERT_TRUE(scardsim::InsertCard(names[16].c_str(), kAtrBeta));  // not watched
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(Events({L"DataReady Alpha Card|" + names[15] + L"|Alpha CSP"}), EndedWorkerEvents());
    ReportCases("readers", readers);
}

// A card database that answers with thousands of card types for one ATR (at
// small size about 64 KB of names), with names and a CSP name of 32 K characters.
TEST_F(HostileTest, HugeCardListsAndNamesIdentifyTheFirstCardType)
{
    const size_t types = quorvex::test::StressCount(3000, 10000);
    const std::vector<BYTE> atr = scardsim::AtrFromHex("3B 02 14 70");
    const std::wstring longName(32768, L'N');
    const std::wstring longCsp(32768, L'P');
    ASSERT_TRUE(scardsim::AddCardType(longName.c_str(), atr, longCsp.c_str()));
    for (size_t i = 1; i < types; ++i) {
        const std::wstring name = L"Huge Card " + std::to_wstring(i);
        ASSERT_TRUE(scardsim::AddCardType(name.c_str(), atr, L"Other CSP"));
    }
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", atr));
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(Events({L"DataReady " + longName + L"|Reader Zero|" + longCsp}), EndedWorkerEvents());
    ReportCases("card types", types);
}

// The service renames a reader between the enumeration and the capture: the
// old name is unknown to it now, so the watch never sees a card there and
// does not spin on it; the other readers are watched as before.
TEST_F(HostileTest, ReaderRenamedAfterTheEnumerationIsIgnoredWithoutSpinning)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    ASSERT_TRUE(SimRemoveReader(L"Reader Zero"));
    ASSERT_TRUE(SimAddReader(L"Reader Zero (2)"));
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero (2)", kAtrAlpha));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    const DWORD waits = SimCallCount("SCardGetStatusChangeW");
    ::Sleep(500);
    EXPECT_LE(SimCallCount("SCardGetStatusChangeW") - waits, 8u);
    EXPECT_EQ(0u, SimCallCount("SCardConnectW"));
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrBeta));
    EXPECT_EQ(Events({L"DataReady Beta Card|Reader One|Beta CSP"}), EndedWorkerEvents());
}

}  // namespace
}  // namespace hostile_test
