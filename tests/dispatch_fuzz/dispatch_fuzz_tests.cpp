// IDispatch::Invoke and GetIDsOfNames of the real Quorvex.dll under hostile
// callers, in bulk. Every answer is checked (hostile_calls.h); every batch of
// cases runs on a fresh plug-in object over a freshly configured simulated
// PC/SC service and must give back everything it took: task memory (every
// BSTR), references to the object and to the objects passed in, the object
// itself and its worker (DllCanUnloadNow), PC/SC contexts, card handles and
// service buffers.
//
// Large run: QUORVEX_STRESS=large; replay: QUORVEX_STRESS_SEED=<seed>.
#include <windows.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "dispatch_fuzz/hostile_calls.h"
#include "dispatch_fuzz/task_allocations.h"
#include "quorvex_h.h"
#include "scardsim/scardsim.h"
#include "support/quorvex_dll.h"
#include "support/sim_fixture.h"
#include "support/stress_size.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

// A fresh object every so many cases: its reader table and selection build
// up over a batch, and the batch's ledger must balance once it is gone.
constexpr std::size_t kBatchCases = 250;

enum class Sabotage { None, LoseOneString, KeepPluginReference, KeepObjectReference };

struct BatchResult {
    LONG lostAllocations = 0;
    ULONG pluginReferences = 0;  // before the test's own release; 1 is that one
    LONG objectReferences = 0;   // still held on the objects passed as arguments
    bool unloadable = false;     // no plug-in object or worker left in the DLL
    DWORD openContexts = 0, openCards = 0, unfreedBuffers = 0;
    // What a sabotaged batch kept back, given back when the result goes.
    UniqueBstr lostString;
    ComPtr<IDispatch> keptPlugin;
};

template <typename Condition>
bool WaitUntil(Condition condition, DWORD milliseconds)
{
    for (const ULONGLONG deadline = ::GetTickCount64() + milliseconds; !condition(); ::Sleep(1)) {
        if (::GetTickCount64() > deadline) return false;
    }
    return true;
}

// Readers with a known card in each, so that a capture ends at once with
// DataReady; now and then a service that is missing, stopped or failing.
void ConfigureService(Rng& rng, FuzzContext& context)
{
    ::SimReset();
    context.readerNames.clear();
    switch (rng.Below(10)) {
    case 0: ::SimSetServiceState(SIM_SERVICE_NOT_RUNNING); return;
    case 1: ::SimSetServiceState(SIM_SERVICE_STOPPED); return;
    case 2: {
        // Not SCardReleaseContext: a context the service refuses to release
        // stays open whatever the caller does.
        static const char* const operations[] = {"SCardEstablishContext", "SCardListReadersW", "SCardGetStatusChangeW",
                                                 "SCardConnectW",         "SCardStatusW",      "SCardListCardsW"};
        static const LONG errors[] = {static_cast<LONG>(SCARD_F_INTERNAL_ERROR), static_cast<LONG>(SCARD_E_NO_MEMORY),
                                      static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE),
                                      static_cast<LONG>(SCARD_E_NO_SERVICE)};
        ::SimInjectResult(rng.Pick(operations), rng.Pick(errors), rng.Below(4) + 1);
        break;
    }
    default: break;
    }
    const std::vector<BYTE> atr = scardsim::AtrFromHex("3B 02 14 50");
    scardsim::AddCardType(L"Fuzz Card", atr, L"Fuzz CSP");
    const UINT readers = rng.Below(19);  // up to past the 16 slots
    for (UINT i = 0; i < readers; ++i) {
        std::wstring name = L"Fuzz Reader " + std::to_wstring(i);
        if (rng.Percent(10)) name.append(80, L'x');
        ::SimAddReader(name.c_str());
        scardsim::InsertCard(name.c_str(), atr);
        context.readerNames.push_back(name);
    }
}

BatchResult RunBatch(const QuorvexDll& dll, FuzzContext& context, std::uint32_t seed, std::size_t first,
                     std::size_t count, Sabotage sabotage = Sabotage::None)
{
    BatchResult batch;
    Rng setup(CaseSeed(seed, first) ^ 0x5E7);
    ConfigureService(setup, context);
    const LONG before = LiveTaskAllocations();
    {
        ComPtr<IDispatch> plugin;
        if (dll.CreateInstance(nullptr, IID_IDispatch, plugin.put_void()) != S_OK) {
            ADD_FAILURE() << "no plug-in object from the class object";
            return batch;
        }
        // Half of the objects start with a reader selected, so that their
        // captures go on into the card watch.
        if (setup.Percent(50)) {
            ComPtr<IPkiAuthenticationPlugin> methods;
            LONG returnCode = 0;
            if (SUCCEEDED(plugin->QueryInterface(IID_IPkiAuthenticationPlugin, methods.put_void()))) {
                methods->OpenDevice(nullptr, &returnCode);
            }
        }
        for (std::size_t i = first; i < first + count && context.failures == 0; ++i) {
            const std::uint64_t caseSeed = CaseSeed(seed, i);
            if (caseSeed % 7 == 0) {
                RunNamesCase(plugin.get(), caseSeed, context);
            } else {
                RunInvokeCase(plugin.get(), caseSeed, context);
            }
        }
        switch (sabotage) {
        case Sabotage::None: break;
        case Sabotage::LoseOneString: batch.lostString.reset(::SysAllocString(L"lost")); break;
        case Sabotage::KeepPluginReference: batch.keptPlugin = plugin; break;
        case Sabotage::KeepObjectReference: context.text.AddRef(); break;
        }
        batch.pluginReferences = plugin->AddRef() - 1;
        plugin->Release();
    }
    // A worker that ended by itself may still be on its last instructions.
    batch.unloadable = WaitUntil([&] { return dll.CanUnloadNow() == S_OK; }, 3000);
    batch.lostAllocations = LiveTaskAllocations() - before;
    for (const ValueObject* object : context.objects) batch.objectReferences += object->extraReferences();
    batch.openContexts = ::SimOpenContexts();
    batch.openCards = ::SimOpenCardHandles();
    batch.unfreedBuffers = ::SimUnfreedBuffers();
    return batch;
}

class DispatchFuzzTest : public SimulatedServiceTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        SimulatedServiceTest::SetUp();
    }
    void TearDown() override
    {
        ::SimReset();
        SimulatedServiceTest::TearDown();
        ::CoUninitialize();
    }

    QuorvexDll dll;
    FuzzContext context;
};

TEST_F(DispatchFuzzTest, HostileCallersGetCleanAnswersAndNothingIsLost)
{
    const std::uint32_t seed = StressSeed(0xD15FA7);
    const std::size_t total = StressCount(100000, 1000000);
    const StressBudget budget(std::chrono::seconds(20), std::chrono::seconds(1800));
    const auto start = std::chrono::steady_clock::now();

    // Lazy first-use allocations of the runtime are not the cases' fault.
    RunBatch(dll, context, ~seed, 0, kBatchCases);

    std::size_t done = 0;
    while (done < total && !budget.Expired() && !HasFailure()) {
        const std::size_t count = std::min(kBatchCases, total - done);
        const BatchResult batch = RunBatch(dll, context, seed, done, count);
        const std::string cases = "cases " + std::to_string(done) + ".." + std::to_string(done + count - 1);
        EXPECT_EQ(batch.lostAllocations, 0) << "task-memory blocks lost by " << cases;
        EXPECT_EQ(batch.pluginReferences, 1u) << "references to the plug-in left by " << cases;
        EXPECT_EQ(batch.objectReferences, 0) << "references to argument objects left by " << cases;
        EXPECT_TRUE(batch.unloadable) << "an object or worker outlived " << cases;
        EXPECT_EQ(batch.openContexts + batch.openCards + batch.unfreedBuffers, 0u)
            << "PC/SC resources left by " << cases;
        done += count;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const FuzzContext::Tally& t = context.tally;
    std::printf(
        "dispatch fuzz: seed 0x%X, %zu cases in %.1f s (%zu Invoke: %zu rejected early, %zu type mismatches, "
        "%zu reached the method, %zu captures; %zu GetIDsOfNames)%s\n",
        seed, done, seconds, t.invokes, t.early, t.mismatches, t.methods, t.captures, t.names,
        done < total ? " - time budget reached" : "");
    RecordProperty("cases", static_cast<int>(done));
    RecordProperty("seed", static_cast<int>(seed));
    EXPECT_GE(done, std::min<std::size_t>(total, 2000)) << "too few cases to mean anything";
}

// The checks above are only worth something if they see a fault: the ledger
// one lost string, one reference to the object, one reference to an argument
// object; the arrays handed over really end at an inaccessible page.
TEST_F(DispatchFuzzTest, TheChecksCatchASingleFault)
{
    MEMORY_BASIC_INFORMATION page{};
    ASSERT_NE(::VirtualQuery(context.arguments.End<BYTE>(0), &page, sizeof page), 0u);
    EXPECT_EQ(page.Protect, static_cast<DWORD>(PAGE_NOACCESS));

    const BatchResult clean = RunBatch(dll, context, 7, 0, 100);
    EXPECT_EQ(clean.lostAllocations, 0);
    EXPECT_EQ(clean.pluginReferences, 1u);
    EXPECT_TRUE(clean.unloadable);

    const BatchResult lostString = RunBatch(dll, context, 7, 0, 100, Sabotage::LoseOneString);
    EXPECT_EQ(lostString.lostAllocations, 1);

    BatchResult keptPlugin = RunBatch(dll, context, 7, 0, 100, Sabotage::KeepPluginReference);
    EXPECT_EQ(keptPlugin.pluginReferences, 2u);
    EXPECT_FALSE(keptPlugin.unloadable);
    keptPlugin.keptPlugin.reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    const BatchResult keptObject = RunBatch(dll, context, 7, 0, 100, Sabotage::KeepObjectReference);
    EXPECT_EQ(keptObject.objectReferences, 1);
    context.text.Release();
    EXPECT_EQ(context.failures, 0u);
}

}  // namespace
}  // namespace quorvex::test
