// Quorvex.dll through the forwarding winscard.dll against the real pcscd,
// with virtual cards in vpcd's readers. The stack (pcscd and the helper) is
// started by the test fixture; the virtual card is this program's own,
// speaking vpcd's socket protocol over 127.0.0.1.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <ocidl.h>
#include <winscard.h>
#include <ws2tcpip.h>

#include <chrono>
#include <thread>
#include <vector>

#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "support/test_sink.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

extern "C" LONG __cdecl PcscBridgeCounters(DWORD* contexts, DWORD* cards);
extern "C" LONG __cdecl PcscBridgeServiceControl(DWORD start);

using namespace quorvex;
using namespace quorvex::test;
using namespace std::chrono_literals;

namespace {

constexpr DISPID kStatusChanged = 1, kDataReady = 2, kFailed = 3;
const wchar_t kReader0[] = L"Virtual PCD 00 00";
const wchar_t kReader1[] = L"Virtual PCD 00 01";
const std::vector<BYTE> kKnownAtr{0x3B, 0x02, 0x14, 0x50};
const std::vector<BYTE> kUnknownAtr{0x3B, 0x02, 0x14, 0x51};
const wchar_t kCardKey[] = L"SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Quorvex Bridge Test Card";
const wchar_t kCardName[] = L"Quorvex Bridge Test Card";
const wchar_t kCsp[] = L"Quorvex Bridge Test CSP";

// A card in one of vpcd's readers: inserted while connected.
class VirtualCard {
public:
    VirtualCard(int port, std::vector<BYTE> atr) : atr_(std::move(atr))
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL on = TRUE;
        // vpcd writes each message in two parts: no Nagle, no delayed ACK waits.
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (connected_) thread_ = std::thread([this] { Serve(); });
    }
    ~VirtualCard() { Remove(); }
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;
    bool connected() const { return connected_; }
    void Remove()
    {
        if (socket_ != INVALID_SOCKET) {
            ::shutdown(socket_, SD_BOTH);
            ::closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    bool Read(BYTE* p, int n)
    {
        while (n > 0) {
            const int got = ::recv(socket_, reinterpret_cast<char*>(p), n, 0);
            if (got <= 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }
    bool Send(const std::vector<BYTE>& payload)
    {
        std::vector<BYTE> m{static_cast<BYTE>(payload.size() >> 8), static_cast<BYTE>(payload.size())};
        m.insert(m.end(), payload.begin(), payload.end());
        return ::send(socket_, reinterpret_cast<const char*>(m.data()), static_cast<int>(m.size()), 0) ==
               static_cast<int>(m.size());
    }
    void Serve()
    {
        for (;;) {
            BYTE size[2];
            if (!Read(size, 2)) return;
            std::vector<BYTE> payload((size[0] << 8) | size[1]);
            if (!payload.empty() && !Read(payload.data(), static_cast<int>(payload.size()))) return;
            if (payload.size() == 1) {
                if (payload[0] == 4 && !Send(atr_)) return;  // "send your ATR"; 0, 1, 2 need no answer
            } else if (!Send({0x90, 0x00})) {
                return;
            }
        }
    }

    std::vector<BYTE> atr_;
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
    std::thread thread_;
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

class PcscBridgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCardKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
        const BYTE mask[] = {0xFF, 0xFF, 0xFF, 0xFF};
        ::RegSetValueExW(key, L"ATR", 0, REG_BINARY, kKnownAtr.data(), static_cast<DWORD>(kKnownAtr.size()));
        ::RegSetValueExW(key, L"ATRMask", 0, REG_BINARY, mask, sizeof mask);
        ::RegSetValueExW(key, L"Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(kCsp), sizeof kCsp);
        ::RegCloseKey(key);
    }
    static void TearDownTestSuite() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCardKey); }

    void SetUp() override
    {
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
        // Nothing left open in pcscd by the plug-in.
        DWORD contexts = 99, cards = 99;
        ASSERT_EQ(SCARD_S_SUCCESS, PcscBridgeCounters(&contexts, &cards));
        EXPECT_EQ(0u, contexts);
        EXPECT_EQ(0u, cards);
    }

    void Start()
    {
        LONG count = 0, rc = -1;
        ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        ASSERT_GE(count, 2);
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        ASSERT_EQ(0, rc);
        ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
        ASSERT_EQ(0, rc);
    }

    // The first event other than StatusChanged 0x20CC ("waiting"), within the time-out.
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

    QuorvexDll dll;
    ComPtr<IPkiAuthenticationPlugin> plugin;
    ComPtr<TestSink> sink;
    DWORD cookie = 0;
};

TEST_F(PcscBridgeTest, EnumerationNamesTheVirtualReaders)
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

TEST_F(PcscBridgeTest, InsertedCardEndsInDataReadyFromTheRegistryDatabase)
{
    Start();
    VirtualCard card(35964, kKnownAtr);
    ASSERT_TRUE(card.connected());
    ExpectDataReady(kReader1);
}

TEST_F(PcscBridgeTest, UnknownAtrFailsWith210ThenStatus80DE)
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

TEST_F(PcscBridgeTest, CardAlreadyPresentIsFoundAtOnce)
{
    VirtualCard card(35963, kKnownAtr);
    ASSERT_TRUE(WaitForPresence(kReader0, true, 3s));
    Start();
    ExpectDataReady(kReader0);
}

TEST_F(PcscBridgeTest, RemovalThenInsertion)
{
    {
        VirtualCard card(35963, kKnownAtr);
        ASSERT_TRUE(WaitForPresence(kReader0, true, 3s));
    }
    ASSERT_TRUE(WaitForPresence(kReader0, false, 3s));
    Start();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(EventsAfterStart(0, 0ms).empty());
    VirtualCard card(35963, kKnownAtr);
    ExpectDataReady(kReader0);
}

TEST_F(PcscBridgeTest, EndCaptureDuringAWaitEndsQuietly)
{
    Start();
    std::this_thread::sleep_for(300ms);
    const auto begin = std::chrono::steady_clock::now();
    LONG rc = -1;
    ASSERT_EQ(S_OK, plugin->EndCapture(&rc));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(EventsAfterStart(0, 0ms).empty());
}

// What EndCapture's time-out path relies on: SCardCancel from another thread
// ends a pending wait on the same context, through the helper.
TEST_F(PcscBridgeTest, CancelEndsAPendingWaitOfAnotherThread)
{
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    SCARD_READERSTATEW state{};
    state.szReader = kReader0;
    SCardGetStatusChangeW(context, 0, &state, 1);
    state.dwCurrentState = state.dwEventState;
    LONG waitResult = 0;
    std::thread waiter([&] { waitResult = SCardGetStatusChangeW(context, INFINITE, &state, 1); });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(SCARD_S_SUCCESS, SCardCancel(context));
    waiter.join();
    EXPECT_EQ(static_cast<LONG>(SCARD_E_CANCELLED), waitResult);
    EXPECT_EQ(SCARD_S_SUCCESS, SCardReleaseContext(context));
}

// pcsc-lite answers a wait whose pcscd went away with SCARD_F_COMM_ERROR:
// an ordinary wait error for the watch.
TEST_F(PcscBridgeTest, PcscdStoppedUnderAWaitingCaptureFails218)
{
    Start();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(SCARD_S_SUCCESS, PcscBridgeServiceControl(0));
    const auto calls = EventsAfterStart(1, 5s);
    ASSERT_EQ(SCARD_S_SUCCESS, PcscBridgeServiceControl(1));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(kFailed, calls[0].dispid);
    EXPECT_EQ(218, calls[0].value);
}

// No pcscd: SCardEstablishContext gives SCARD_E_NO_SERVICE.
TEST_F(PcscBridgeTest, PcscdNotRunningAtStartCaptureFails208)
{
    LONG count = 0, rc = -1;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    ASSERT_EQ(SCARD_S_SUCCESS, PcscBridgeServiceControl(0));
    ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
    const auto calls = EventsAfterStart(1, 5s);
    ASSERT_EQ(SCARD_S_SUCCESS, PcscBridgeServiceControl(1));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(kFailed, calls[0].dispid);
    EXPECT_EQ(208, calls[0].value);
}

}  // namespace
