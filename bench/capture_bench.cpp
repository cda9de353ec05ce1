// Capture figures against the simulated PC/SC service:
//   1. card insertion -> DataReady at the sink, against a bare loop that waits
//      on SCardGetStatusChangeW for the same insertion (goal: p99 <= 1.5x);
//   2. EndCapture on a waiting watch, against one 100 ms wait (goal: <= 1.2x);
//   3. process CPU time while a capture waits 10 s at log level 1
//      (goal: <= 0.5 % of one core);
//   4. 10 000 StartCapture/EndCapture cycles: growth of the handle count and
//      of the private bytes (goal: none).
// Run through the build's wine-run so that the simulated winscard.dll is used.
#include <windows.h>
#include <psapi.h>
#include <winscard.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/stack_event_sink.h"
#include "plugin/smart_card_auth_plugin.h"
#include "scardsim/scardsim.h"
#include "tests/support/plugin_inspector.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

using quorvex::ComPtr;
using quorvex::UniqueHandle;

namespace {

const wchar_t kReader[] = L"Bench Reader";
const BYTE kAtr[] = {0x3B, 0x02, 0x14, 0x50};

// Counts DataReady and notes when the last one arrived.
class BenchSink final : public StackEventSink {
public:
    BenchSink() : arrived_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (dispid == 2) {
            arrivedAt_ = NowMs();
            ++dataReady_;
            ::SetEvent(arrived_.get());
        }
        return S_OK;
    }

    bool WaitForDataReady(DWORD ms) { return ::WaitForSingleObject(arrived_.get(), ms) == WAIT_OBJECT_0; }
    double arrivedAt() const { return arrivedAt_; }
    long dataReady() const { return dataReady_; }

private:
    UniqueHandle arrived_;
    std::atomic<double> arrivedAt_{0};
    std::atomic<long> dataReady_{0};
};

struct Figures {
    double p50 = 0, p99 = 0, max = 0;
};

Figures Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.50), at(0.99), samples.back()};
}

bool WaitForPendingWait() { return SimWaitForPendingWaits(1, 5000) != FALSE; }

// The first wait of a watch reports the empty reader at once; the second one
// really waits.
void WaitForSecondWait(DWORD waitsBefore)
{
    while (SimCallCount("SCardGetStatusChangeW") < waitsBefore + 2 || SimPendingWaits() == 0) ::Sleep(1);
}

struct BareLoop {
    SCARDCONTEXT context;
    std::atomic<double> seenAt;
};

DWORD WINAPI RunBareLoop(void* parameter)
{
    BareLoop& loop = *static_cast<BareLoop*>(parameter);
    SCARD_READERSTATEW state{};
    state.szReader = kReader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const LONG r = ::SCardGetStatusChangeW(loop.context, 100, &state, 1);
        if (r == SCARD_S_SUCCESS) {
            const DWORD changed = (state.dwCurrentState ^ state.dwEventState) & 0xFFFF;
            state.dwCurrentState = state.dwEventState;
            if (changed & state.dwEventState & SCARD_STATE_PRESENT) {
                loop.seenAt.store(NowMs());
                return 0;
            }
        } else if (r != static_cast<LONG>(SCARD_E_TIMEOUT)) {
            return 1;
        }
    }
}

// The bare loop: one thread waiting on the service for the card, as a
// minimal watcher would.
double BareLoopLatency()
{
    SCARDCONTEXT context = 0;
    if (::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return -1;
    BareLoop loop{context, 0};
    const DWORD waits = SimCallCount("SCardGetStatusChangeW");
    UniqueHandle watcher(::CreateThread(nullptr, 0, RunBareLoop, &loop, 0, nullptr));
    WaitForSecondWait(waits);
    const double insertedAt = NowMs();
    SimInsertCard(kReader, kAtr, sizeof(kAtr), 0);
    ::WaitForSingleObject(watcher.get(), 5000);
    ::SCardReleaseContext(context);
    SimRemoveCard(kReader);
    return loop.seenAt.load() - insertedAt;
}

// Wine reports neither a handle count nor private bytes: count the handle
// values that name an open object, and add up committed private memory.
DWORD CountOpenHandles()
{
    DWORD open = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
    }
    return open;
}

double CommittedPrivateBytes()
{
    double total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; ::VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += static_cast<double>(region.RegionSize);
        if (reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize < reinterpret_cast<ULONG_PTR>(address))
            break;
    }
    return total;
}

}  // namespace

int main()
{
    SimReset();
    SimSetBufferFences(FALSE);
    SimAddReader(kReader);
    SimAddCardType(L"Bench Card", kAtr, sizeof(kAtr), L"Bench CSP");

    ComPtr<IPkiAuthenticationPlugin> plugin;
    if (FAILED(
            quorvex::CSmartCardAuthPlugin::CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()))) {
        std::printf("cannot create the plug-in object\n");
        return 1;
    }
    quorvex::PluginInspector object(*static_cast<quorvex::CSmartCardAuthPlugin*>(plugin.get()));
    BenchSink sink;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    plugin.query_to(IID_IConnectionPointContainer, container);
    container->FindConnectionPoint(DIID__IPkiAuthenticationPluginEvents, point.put());
    point->Advise(static_cast<IDispatch*>(&sink), &cookie);
    LONG rc = 0;
    LONG count = 0;
    plugin->GetDeviceCount(nullptr, nullptr, &count);
    plugin->OpenDevice(nullptr, &rc);

    // 1. Insertion -> DataReady.
    constexpr int kLatencyRuns = 1000;
    std::vector<double> bare, captured;
    for (int i = 0; i < kLatencyRuns; ++i) {
        SimReset();
        SimAddReader(kReader);
        SimAddCardType(L"Bench Card", kAtr, sizeof(kAtr), L"Bench CSP");
        bare.push_back(BareLoopLatency());

        const DWORD waits = SimCallCount("SCardGetStatusChangeW");
        plugin->StartCapture(nullptr, nullptr, nullptr, &rc);
        WaitForSecondWait(waits);
        const double insertedAt = NowMs();
        SimInsertCard(kReader, kAtr, sizeof(kAtr), 0);
        if (!sink.WaitForDataReady(5000)) std::printf("run %d: no DataReady\n", i);
        captured.push_back(sink.arrivedAt() - insertedAt);
        plugin->EndCapture(&rc);
        SimRemoveCard(kReader);
    }
    const Figures b = Summarise(bare), c = Summarise(captured);
    std::printf("insertion -> DataReady (%d runs): p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", kLatencyRuns, c.p50, c.p99,
                c.max);
    std::printf("insertion -> bare wait loop  (%d runs): p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", kLatencyRuns, b.p50,
                b.p99, b.max);
    std::printf("  ratio at p50: %.2fx, at p99: %.2fx (goal <= 1.5x at p99)\n", c.p50 / b.p50, c.p99 / b.p99);

    // What the service itself charges for the calls that identification must
    // make (connect, status, card list, CSP name, disconnect), for reading
    // the ratio above.
    {
        SimInsertCard(kReader, kAtr, sizeof(kAtr), 0);
        SCARDCONTEXT context = 0;
        ::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        constexpr int kCalls = 1000;
        const double start = NowMs();
        for (int i = 0; i < kCalls; ++i) {
            SCARDHANDLE card = 0;
            DWORD protocol = 0, state = 0;
            ::SCardConnectW(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                            &protocol);
            WCHAR* reader = nullptr;
            DWORD readerLength = SCARD_AUTOALLOCATE;
            BYTE atr[SCARD_ATR_LENGTH];
            DWORD atrLength = SCARD_ATR_LENGTH;
            ::SCardStatusW(card, reinterpret_cast<LPWSTR>(&reader), &readerLength, &state, &protocol, atr, &atrLength);
            WCHAR* cards = nullptr;
            DWORD cardsLength = SCARD_AUTOALLOCATE;
            ::SCardListCardsW(context, atr, nullptr, 0, reinterpret_cast<LPWSTR>(&cards), &cardsLength);
            WCHAR* provider = nullptr;
            DWORD providerLength = SCARD_AUTOALLOCATE;
            ::SCardGetCardTypeProviderNameW(context, cards, SCARD_PROVIDER_CSP, reinterpret_cast<LPWSTR>(&provider),
                                            &providerLength);
            ::SCardFreeMemory(context, provider);
            ::SCardFreeMemory(context, cards);
            ::SCardFreeMemory(context, reader);
            ::SCardDisconnect(card, SCARD_LEAVE_CARD);
        }
        std::printf("  (the service's own identification calls: %.3f ms per card)\n", (NowMs() - start) / kCalls);
        ::SCardReleaseContext(context);
        SimRemoveCard(kReader);
    }

    // 2. EndCapture on a waiting watch, the stop falling anywhere in a wait.
    constexpr int kStopRuns = 40;
    std::vector<double> stops, waits;
    SCARDCONTEXT context = 0;
    ::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    for (int i = 0; i < kStopRuns; ++i) {
        SCARD_READERSTATEW state{};
        state.szReader = kReader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        ::SCardGetStatusChangeW(context, 100, &state, 1);
        state.dwCurrentState = state.dwEventState;
        const double waitStart = NowMs();
        ::SCardGetStatusChangeW(context, 100, &state, 1);
        waits.push_back(NowMs() - waitStart);

        plugin->StartCapture(nullptr, nullptr, nullptr, &rc);
        WaitForPendingWait();
        ::Sleep(static_cast<DWORD>((i * 37) % 100));
        const double stopStart = NowMs();
        plugin->EndCapture(&rc);
        stops.push_back(NowMs() - stopStart);
    }
    ::SCardReleaseContext(context);
    const Figures s = Summarise(stops), w = Summarise(waits);
    std::printf("EndCapture on a waiting watch (%d runs): p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", kStopRuns, s.p50,
                s.p99, s.max);
    std::printf("one 100 ms wait: p50 %.1f ms, max %.1f ms\n", w.p50, w.max);
    std::printf("  ratio max/wait: %.2fx (goal <= 1.2x)\n", s.max / w.p50);

    // 3. CPU while a capture waits 10 s at log level 1.
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    plugin->StartCapture(nullptr, nullptr, nullptr, &rc);
    WaitForPendingWait();
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel0, &user0);
    const double idleStart = NowMs();
    ::Sleep(10000);
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel1, &user1);
    const double idleMs = NowMs() - idleStart;
    plugin->EndCapture(&rc);
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    const double cpuMs = static_cast<double>((ticks(kernel1) - ticks(kernel0)) + (ticks(user1) - ticks(user0))) /
                         10000.0;
    std::printf("CPU while waiting %.1f s: %.1f ms = %.3f %% of one core (goal <= 0.5 %%)\n", idleMs / 1000, cpuMs,
                100.0 * cpuMs / idleMs);

    // 4. Start/End cycles with a card present: each cycle runs a whole
    // capture (context, connection, service buffers, events, thread).
    SimInsertCard(kReader, kAtr, sizeof(kAtr), 0);
    auto handles = [] {
        DWORD n = 0;
        if (::GetProcessHandleCount(::GetCurrentProcess(), &n) && n != 0) return n;
        return CountOpenHandles();
    };
    auto privateBytes = [] {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters));
        return counters.PrivateUsage != 0 ? static_cast<double>(counters.PrivateUsage) : CommittedPrivateBytes();
    };
    constexpr int kWarmUp = 500;
    constexpr int kCycles = 10000;
    auto cycle = [&] {
        plugin->StartCapture(nullptr, nullptr, nullptr, &rc);
        plugin->EndCapture(&rc);
    };
    for (int i = 0; i < kWarmUp; ++i) cycle();
    const DWORD handles0 = handles();
    const double bytes0 = privateBytes();
    const long delivered0 = sink.dataReady();
    const double cyclesStart = NowMs();
    for (int i = 0; i < kCycles; ++i) cycle();
    const double cyclesMs = NowMs() - cyclesStart;
    const DWORD handles1 = handles();
    const double bytes1 = privateBytes();
    std::printf(
        "%d StartCapture/EndCapture cycles in %.1f s (%ld DataReady): handles %lu -> %lu (%+ld), "
        "private bytes %.0f -> %.0f (%+.0f)\n",
        kCycles, cyclesMs / 1000, sink.dataReady() - delivered0, static_cast<unsigned long>(handles0),
        static_cast<unsigned long>(handles1), static_cast<long>(handles1) - static_cast<long>(handles0), bytes0, bytes1,
        bytes1 - bytes0);
    std::printf("service after the run: contexts %lu, card handles %lu, buffers %lu; capturing %d\n",
                static_cast<unsigned long>(SimOpenContexts()), static_cast<unsigned long>(SimOpenCardHandles()),
                static_cast<unsigned long>(SimUnfreedBuffers()), object.capturing() ? 1 : 0);

    point->Unadvise(cookie);
    return 0;
}
