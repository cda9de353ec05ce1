// Quorvex.dll through the in-process winscard.dll against a real pcscd, with
// virtual cards in vpcd's readers: the private stack of tools/pcsc-stack,
// whose socket PCSCLITE_CSOCK_NAME names (`pcsc-stack run`). The virtual
// cards run in the stack's network, where vpcd's ports are.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "support/test_sink.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"
#include "win/unique_handle.h"
#include "win/unique_hkey.h"

using namespace quorvex;
using namespace quorvex::test;
using namespace std::chrono_literals;

namespace {

constexpr DISPID kStatusChanged = 1, kDataReady = 2, kFailed = 3;
const wchar_t kReader0[] = L"Virtual PCD 00 00";
const wchar_t kReader1[] = L"Virtual PCD 00 01";
const BYTE kKnownAtrBytes[] = {0x3B, 0x02, 0x14, 0x50};
const char kKnownAtr[] = "3B021450";
const char kUnknownAtr[] = "3B021451";
const wchar_t kCardKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Quorvex Lite Test Card";
const wchar_t kCardName[] = L"Quorvex Lite Test Card";
const wchar_t kCsp[] = L"Quorvex Lite Test CSP";

// The stack's state folder, as tools/pcsc-stack uses it.
std::string StackState()
{
    const char* state = std::getenv("QUORVEX_PCSC_STATE");
    return state ? state : QUORVEX_SOURCE_DIR "/build/pcsc-stack";
}

// Runs a Linux program, which Wine starts as such. Wine gives no process
// handle for it: what it did shows in its effects.
bool RunLinux(const std::wstring& shellCommand)
{
    std::wstring command = L"Z:\\bin\\sh -c \"" + shellCommand + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    UniqueHandle thread(process.hThread), owner(process.hProcess);
    return true;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Where the virtual cards' files are; a card left by a test that failed is
// taken out by deleting its file.
std::string CardFolder() { return StackState() + "/cards"; }

struct FindTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::FindClose(h); }
};

void RemoveAllCards()
{
    const std::wstring folder = L"Z:" + Wide(CardFolder()) + L"/";
    WIN32_FIND_DATAW found{};
    const UniqueResource<FindTraits> search(::FindFirstFileW((folder + L"card-*").c_str(), &found));
    if (!search) return;
    do {
        ::DeleteFileW((folder + found.cFileName).c_str());
    } while (::FindNextFileW(search.get(), &found));
}

// A card in one of vpcd's readers (a pcsc-vcard in the stack's network):
// inserted while its file exists.
class VirtualCard {
public:
    VirtualCard(int port, const char* atrHex)
    {
        static int serial = 0;
        const std::string file = CardFolder() + "/card-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(++serial);
        ::CreateDirectoryW((L"Z:" + Wide(CardFolder())).c_str(), nullptr);
        file_ = L"Z:" + Wide(file);
        const HANDLE created = ::CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (created == INVALID_HANDLE_VALUE) return;
        UniqueHandle closed(created);
        started_ = RunLinux(L"exec '" QUORVEX_SOURCE_DIR "/tools/pcsc-stack' inside '" QUORVEX_PCSC_NATIVE
                            "/pcsc-vcard' --while '" +
                            Wide(file) + L"' " + Wide(atrHex) + L" " + std::to_wstring(port) + L" >/dev/null 2>&1");
    }
    ~VirtualCard() { Remove(); }
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;
    bool started() const { return started_; }
    void Remove()
    {
        if (!file_.empty()) ::DeleteFileW(file_.c_str());
        file_.clear();
    }

private:
    std::wstring file_;
    bool started_ = false;
};

HRESULT Advise(IUnknown* plugin, IUnknown* sink, DWORD* cookie)
{
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = plugin->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (FAILED(hr)) return hr;
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(kEventDiid, point.put());
    return FAILED(hr) ? hr : point->Advise(sink, cookie);
}

// Waits until pcscd reports the reader's card as present (or absent).
bool WaitForPresence(const wchar_t* reader, bool present, std::chrono::milliseconds timeout)
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    SCARD_READERSTATEW state{};
    state.szReader = reader;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        if (SCardGetStatusChangeW(context, 100, &state, 1) == SCARD_S_SUCCESS)
            state.dwCurrentState = state.dwEventState;
        seen = ((state.dwCurrentState & SCARD_STATE_PRESENT) != 0) == present && state.dwCurrentState != 0;
    }
    SCardReleaseContext(context);
    return seen;
}

// pcscd's own record of its clients' requests (it runs with --debug).
std::string PcscdLogPath() { return "Z:" + StackState() + "/pcscd.log"; }

std::streamoff PcscdLogEnd()
{
    std::ifstream log(PcscdLogPath(), std::ios::binary | std::ios::ate);
    return log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

// Waits until a client of pcscd has started a wait for a change after the
// log position `from`: the capture is then really waiting in pcscd.
bool WaitForPcscdWait(std::streamoff from, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream log(PcscdLogPath(), std::ios::binary);
        log.seekg(from);
        for (std::string line; std::getline(log, line);)
            if (line.find("CMD_WAIT_READER_STATE_CHANGE from client") != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Whether pcscd accepts a client now.
bool ServiceAnswers()
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    SCardReleaseContext(context);
    return true;
}

// pcscd itself, stopped or started by tools/pcsc-stack (a Linux program,
// which Wine runs as such). What counts is the service's answer afterwards.
bool SetPcscd(bool running)
{
    if (!RunLinux(L"exec '" QUORVEX_SOURCE_DIR "/tools/pcsc-stack' " + std::wstring(running ? L"start" : L"stop") +
                  L" >/dev/null 2>&1"))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (ServiceAnswers() != running) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class PcscLiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        UniqueHkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCardKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                   key.put(), nullptr));
        const BYTE mask[] = {0xFF, 0xFF, 0xFF, 0xFF};
        ::RegSetValueExW(key.get(), L"ATR", 0, REG_BINARY, kKnownAtrBytes, sizeof kKnownAtrBytes);
        ::RegSetValueExW(key.get(), L"ATRMask", 0, REG_BINARY, mask, sizeof mask);
        ::RegSetValueExW(key.get(), L"Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(kCsp), sizeof kCsp);
    }
    static void TearDownTestSuite() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCardKey); }

    void SetUp() override
    {
        RemoveAllCards();
        // vpcd notices a card's removal only at its next poll (up to ~0.4 s):
        // the previous test's card must be gone before this one starts.
        ASSERT_TRUE(WaitForPresence(kReader0, false, 3s));
        ASSERT_TRUE(WaitForPresence(kReader1, false, 3s));
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK,
                  dll.CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, reinterpret_cast<void**>(plugin.put())));
        sink = TestSink::Create();
        ASSERT_EQ(S_OK, Advise(plugin.get(), sink.get(), &cookie));
    }

    void TearDown() override
    {
        LONG rc = 0;
        if (plugin) plugin->EndCapture(&rc);
        plugin = nullptr;
        sink = nullptr;
        ::CoUninitialize();
        if (restartPcscd) {
            EXPECT_TRUE(SetPcscd(true));
        }
    }

    // StartCapture, once pcscd has the capture's wait: what the test does next
    // happens to a waiting capture.
    void Start()
    {
        LONG count = 0, rc = -1;
        ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        ASSERT_GE(count, 2);
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        ASSERT_EQ(0, rc);
        const std::streamoff logEnd = PcscdLogEnd();
        ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
        ASSERT_EQ(0, rc);
        ASSERT_TRUE(WaitForPcscdWait(logEnd, 5s));
    }

    // The events after StatusChanged 0x20CC ("waiting"), once `count` of them
    // or the time-out have come.
    std::vector<SinkCall> EventsAfterStart(size_t count, std::chrono::milliseconds timeout)
    {
        sink->WaitForCalls(count + 1, timeout);
        std::vector<SinkCall> calls = sink->Calls();
        if (!calls.empty() && calls[0].dispid == kStatusChanged && calls[0].value == 0x20CC) calls.erase(calls.begin());
        return calls;
    }

    void ExpectDataReady(const wchar_t* reader)
    {
        const auto calls = EventsAfterStart(1, 5s);
        ASSERT_FALSE(calls.empty());
        ASSERT_EQ(kDataReady, calls[0].dispid) << "event value " << std::hex << calls[0].value;
        ASSERT_EQ(3u, calls[0].strings.size());
        EXPECT_EQ(kCardName, calls[0].strings[0]);
        EXPECT_EQ(reader, calls[0].strings[1]);
        EXPECT_EQ(kCsp, calls[0].strings[2]);
    }

    void StopPcscd()
    {
        restartPcscd = true;
        ASSERT_TRUE(SetPcscd(false));
    }

    QuorvexDll dll;
    ComPtr<IPkiAuthenticationPlugin> plugin;
    ComPtr<TestSink> sink;
    DWORD cookie = 0;
    bool restartPcscd = false;
};

TEST_F(PcscLiteTest, EnumerationNamesTheVirtualReaders)
{
    LONG count = 0;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(2, count);
    const wchar_t* expected[] = {kReader0, kReader1};
    for (LONG i = 0; i < 2; ++i) {
        UniqueBstr name;
        ASSERT_EQ(S_OK, plugin->GetDeviceID(i, name.put()));
        EXPECT_EQ(std::wstring(expected[i]), std::wstring(name.view()));
    }
}

TEST_F(PcscLiteTest, InsertedCardEndsInDataReadyFromTheRegistryDatabase)
{
    Start();
    VirtualCard card(35964, kKnownAtr);
    ASSERT_TRUE(card.started());
    ExpectDataReady(kReader1);
}

TEST_F(PcscLiteTest, UnknownAtrFailsWith210ThenStatus80DE)
{
    Start();
    VirtualCard card(35963, kUnknownAtr);
    const auto calls = EventsAfterStart(2, 5s);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(kFailed, calls[0].dispid);
    EXPECT_EQ(210, calls[0].value);
    EXPECT_EQ(kStatusChanged, calls[1].dispid);
    EXPECT_EQ(0x80DE, calls[1].value);
}

TEST_F(PcscLiteTest, CardAlreadyPresentIsFoundAtOnce)
{
    VirtualCard card(35963, kKnownAtr);
    ASSERT_TRUE(WaitForPresence(kReader0, true, 3s));
    Start();
    ExpectDataReady(kReader0);
}

// A card taken out before the capture is not reported; the next one is.
TEST_F(PcscLiteTest, RemovalThenInsertion)
{
    {
        VirtualCard card(35963, kKnownAtr);
        ASSERT_TRUE(WaitForPresence(kReader0, true, 3s));
    }
    ASSERT_TRUE(WaitForPresence(kReader0, false, 3s));
    Start();
    // One more full wait of the capture after its first: it has seen the empty reader.
    ASSERT_TRUE(WaitForPcscdWait(PcscdLogEnd(), 5s));
    EXPECT_TRUE(EventsAfterStart(0, 0ms).empty());
    VirtualCard card(35963, kKnownAtr);
    ExpectDataReady(kReader0);
}

TEST_F(PcscLiteTest, EndCaptureDuringAWaitEndsQuietly)
{
    Start();
    const auto begin = std::chrono::steady_clock::now();
    LONG rc = -1;
    ASSERT_EQ(S_OK, plugin->EndCapture(&rc));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(EventsAfterStart(0, 0ms).empty());
}

// What EndCapture's time-out path relies on: SCardCancel from another thread
// ends a pending wait on the same context. A cancel that comes before the
// wait has begun cancels nothing, so it is repeated until the wait has ended.
TEST_F(PcscLiteTest, CancelEndsAPendingWaitOfAnotherThread)
{
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    SCARD_READERSTATEW state{};
    state.szReader = kReader0;
    SCardGetStatusChangeW(context, 0, &state, 1);
    state.dwCurrentState = state.dwEventState;
    UniqueHandle ended(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(ended);
    LONG waitResult = 0;
    // Bounded, so that a cancel which never lands fails the test instead of
    // hanging it: pcsc-lite's release would wait for the waiting call.
    std::thread waiter([&] {
        waitResult = SCardGetStatusChangeW(context, 20000, &state, 1);
        ::SetEvent(ended.get());
    });
    DWORD outcome = WAIT_TIMEOUT;
    for (int i = 0; i < 100 && outcome == WAIT_TIMEOUT; ++i) {
        EXPECT_EQ(SCARD_S_SUCCESS, SCardCancel(context));
        outcome = ::WaitForSingleObject(ended.get(), 100);
    }
    EXPECT_EQ(WAIT_OBJECT_0, outcome);
    waiter.join();
    EXPECT_EQ(static_cast<LONG>(SCARD_E_CANCELLED), waitResult);
    EXPECT_EQ(SCARD_S_SUCCESS, SCardReleaseContext(context));
}

// pcsc-lite answers a wait whose pcscd went away with SCARD_F_COMM_ERROR:
// an ordinary wait error for the watch.
TEST_F(PcscLiteTest, PcscdStoppedUnderAWaitingCaptureFails218)
{
    Start();
    StopPcscd();
    const auto calls = EventsAfterStart(1, 5s);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(kFailed, calls[0].dispid);
    EXPECT_EQ(218, calls[0].value);
}

// No pcscd: SCardEstablishContext gives SCARD_E_NO_SERVICE.
TEST_F(PcscLiteTest, PcscdNotRunningAtStartCaptureFails208)
{
    LONG count = 0, rc = -1;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    StopPcscd();
    ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
    const auto calls = EventsAfterStart(1, 5s);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(kFailed, calls[0].dispid);
    EXPECT_EQ(208, calls[0].value);
}

}  // namespace

// The registry card database of the in-process winscard.dll (no pcscd
// needed): where a general pattern and a specific one both match a card,
// the first name listed, which the plug-in reports, is the specific one,
// whatever the registry's order.
TEST(CardDatabase, TheMoreSpecificTypeIsListedFirst)
{
    const BYTE atr[] = {0x3B, 0x16, 0x96, 0x41, 0x73, 0x74, 0x72, 0x69, 0x64};
    const BYTE general[] = {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const BYTE exact[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const struct {
        const wchar_t* generalName;
        const wchar_t* specificName;
    } rows[] = {{L"Quorvex A general", L"Quorvex B specific"}, {L"Quorvex B general", L"Quorvex A specific"}};
    for (const auto& row : rows) {
        ASSERT_EQ(SCARD_S_SUCCESS,
                  SCardIntroduceCardTypeW(0, row.generalName, nullptr, nullptr, 0, atr, general, sizeof atr));
        ASSERT_EQ(SCARD_S_SUCCESS,
                  SCardIntroduceCardTypeW(0, row.specificName, nullptr, nullptr, 0, atr, exact, sizeof atr));
        LPWSTR cards = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        EXPECT_EQ(SCARD_S_SUCCESS, SCardListCardsW(0, atr, nullptr, 0, reinterpret_cast<LPWSTR>(&cards), &length));
        EXPECT_EQ(std::wstring(row.specificName), cards ? std::wstring(cards) : L"");
        const std::wstring second = cards ? std::wstring(cards + wcslen(cards) + 1) : L"";
        EXPECT_EQ(std::wstring(row.generalName), second);
        SCardFreeMemory(0, cards);
        SCardForgetCardTypeW(0, row.generalName);
        SCardForgetCardTypeW(0, row.specificName);
    }
}

// The card's ATR comes in a Windows buffer of SCARD_ATR_LENGTH bytes, whatever
// longer length a malformed structure claims: one claiming 34 bytes, placed
// before an inaccessible page, is read no further and matches nothing, not
// even a type registered with those 34 bytes.
TEST(CardDatabase, AnAtrIsReadNoFurtherThanAWindowsAtrHolds)
{
    BYTE claimed[34] = {0x3B, 0xFF, 1, 2, 3, 0xF1, 4, 5, 6, 0xF1, 7, 8, 9, 0xF1, 10, 11, 12, 0x01};
    const wchar_t* name = L"Quorvex 34-byte ATR";
    ASSERT_EQ(SCARD_S_SUCCESS, SCardIntroduceCardTypeW(0, name, nullptr, nullptr, 0, claimed, nullptr, sizeof claimed));
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    const auto release = [](BYTE* p) { ::VirtualFree(p, 0, MEM_RELEASE); };
    const std::unique_ptr<BYTE, decltype(release)> owner(
        static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)),
        release);
    BYTE* pages = owner.get();
    ASSERT_NE(nullptr, pages);
    DWORD was = 0;
    ASSERT_TRUE(::VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &was));
    BYTE* atr = pages + system.dwPageSize - SCARD_ATR_LENGTH;
    std::memcpy(atr, claimed, SCARD_ATR_LENGTH);
    WCHAR cards[64] = {};
    DWORD length = 64;
    EXPECT_EQ(SCARD_S_SUCCESS, SCardListCardsW(0, atr, nullptr, 0, cards, &length));
    EXPECT_EQ(std::wstring(), std::wstring(cards));
    SCardForgetCardTypeW(0, name);
}

// Introducing a known type again replaces its pattern: a mask left from the
// first introduction no longer decides which ATRs it matches.
TEST(CardDatabase, AReintroducedTypeMatchesItsNewAtrOnly)
{
    const BYTE first[] = {0x3B, 0x02, 0x14, 0x50};
    const BYTE wildcard[] = {0xFF, 0xFF, 0x00, 0x00};
    const BYTE second[] = {0x3B, 0x02, 0x14, 0x51};
    const wchar_t* name = L"Quorvex reintroduced";
    ASSERT_EQ(SCARD_S_SUCCESS, SCardIntroduceCardTypeW(0, name, nullptr, nullptr, 0, first, wildcard, sizeof first));
    ASSERT_EQ(SCARD_S_SUCCESS, SCardIntroduceCardTypeW(0, name, nullptr, nullptr, 0, second, nullptr, sizeof second));
    const struct {
        const BYTE* atr;
        const wchar_t* listed;
    } rows[] = {{second, name}, {first, L""}};
    for (const auto& row : rows) {
        WCHAR cards[64] = {};
        DWORD length = 64;
        EXPECT_EQ(SCARD_S_SUCCESS, SCardListCardsW(0, row.atr, nullptr, 0, cards, &length));
        EXPECT_EQ(std::wstring(row.listed), std::wstring(cards));
    }
    SCardForgetCardTypeW(0, name);
}
