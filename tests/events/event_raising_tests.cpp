// What a sink sees when the object raises StatusChanged, DataReady and Failed,
// how a failing sink ends a pass, and the status categories SendStatusChanged adds.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/temp_directory.h"
#include "support/test_sink.h"
#include "win/unique_bstr.h"

using quorvex::ComPtr;
using quorvex::MakeBstr;
using quorvex::UniqueBstr;
using namespace quorvex::test;

namespace {

class EventRaising : public ::testing::Test {
protected:
    ComPtr<TestSink> Connect(TestSink::Options options = {})
    {
        auto sink = TestSink::Create(options);
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, AdviseEvents(plugin_.get(), sink.get(), &cookie));
        return sink;
    }
    quorvex::PluginInspector object() { return PluginObject(plugin_.get()); }

    ComPtr<IPkiAuthenticationPlugin> plugin_ = CreatePlugin();
};

}  // namespace

TEST_F(EventRaising, EventsFollowTheInvokeConventionsOnTheCallingThread)
{
    // The first sink spoils its argument block: the next one still gets
    // arguments built afresh.
    auto spoiler = Connect({.spoilsArguments = true});
    auto sink = Connect();
    UniqueBstr card = MakeBstr(L"Card X"), reader = MakeBstr(L"Reader 0"), csp = MakeBstr(L"CSP Y");
    EXPECT_EQ(S_OK, object().FireStatusChanged(0x20CC));
    EXPECT_EQ(S_OK, object().FireFailed(static_cast<LONG>(0x8007000E)));
    EXPECT_EQ(S_OK, object().FireDataReady(card.get(), reader.get(), csp.get()));
    std::thread([this] { object().FireFailed(211); }).join();

    const auto calls = sink->Calls();
    ASSERT_EQ(4u, calls.size());
    const std::pair<DISPID, LONG> expected[] = {{1, 0x20CC}, {3, static_cast<LONG>(0x8007000E)}, {2, 0}, {3, 211}};
    for (size_t i = 0; i < calls.size(); ++i) {
        const SinkCall& call = calls[i];
        EXPECT_EQ(expected[i].first, call.dispid);
        EXPECT_TRUE(call.iidNull);
        EXPECT_EQ(static_cast<LCID>(LOCALE_USER_DEFAULT), call.locale);
        EXPECT_EQ(DISPATCH_METHOD, call.flags);
        EXPECT_EQ(0u, call.namedArgCount);
        EXPECT_TRUE(call.resultGiven && call.resultWasEmpty);
        EXPECT_TRUE(call.excepInfoGiven && call.excepInfoZeroed);
        EXPECT_TRUE(call.argErrorGiven);
        if (call.dispid == 2) continue;
        EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, call.types);
        EXPECT_EQ(expected[i].second, call.value);
    }
    EXPECT_EQ(GetCurrentThreadId(), calls[0].threadId);
    EXPECT_NE(GetCurrentThreadId(), calls[3].threadId);

    // DataReady: cspName is element 0, yet by parameter the order is
    // smartCardName, smartCardReader, cspName; the caller's own strings are
    // passed, not copies, and stay the caller's.
    EXPECT_EQ((std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_BSTR}), calls[2].types);
    EXPECT_EQ((std::vector<std::wstring>{L"Card X", L"Reader 0", L"CSP Y"}), calls[2].strings);
    EXPECT_EQ((std::vector<const void*>{card.get(), reader.get(), csp.get()}), calls[2].bstrPointers);
    EXPECT_EQ(L"CSP Y", std::wstring(csp.view()));
    EXPECT_EQ(4u, spoiler->CallCount());
}

TEST_F(EventRaising, FailingSinkEndsThePassButNotTheNextEvent)
{
    EXPECT_EQ(S_OK, object().FireStatusChanged(1));
    UniqueBstr empty;
    EXPECT_EQ(S_OK, object().FireDataReady(empty.get(), empty.get(), empty.get()));

    auto first = Connect(), second = Connect(), third = Connect();
    second->FailWith(DISP_E_EXCEPTION, L"Sink", L"refused");
    EXPECT_EQ(DISP_E_EXCEPTION, object().FireStatusChanged(0x10C8));
    EXPECT_EQ(DISP_E_EXCEPTION, object().FireFailed(218));
    EXPECT_EQ(2u, first->CallCount());
    EXPECT_EQ(2u, second->CallCount());
    EXPECT_EQ(0u, third->CallCount());

    // Success codes do not stop a pass; the result is the last sink's.
    second->FailWith(S_FALSE);
    EXPECT_EQ(S_OK, object().FireFailed(218));
    third->FailWith(S_FALSE);
    EXPECT_EQ(S_FALSE, object().FireFailed(218));
    EXPECT_EQ(4u, first->CallCount());
    EXPECT_EQ(2u, third->CallCount());
}

TEST_F(EventRaising, SendStatusChangedAddsEachIdsCategory)
{
    auto sink = Connect();
    // -1: no event at all.
    const std::pair<LONG, LONG> sent[] = {{204, 0x20CC},  {209, 0x20D1}, {210, 0x50D2}, {219, 0x50DB}, {220, 0x50DC},
                                          {217, 0x40D9},  {221, 0x70DD}, {222, 0x80DE}, {200, 0x10C8}, {198, 0x10C6},
                                          {211, 0x10D3},  {218, 0x10DA}, {196, 0x10C4}, {223, 0x10DF}, {0, 0x1000},
                                          {4095, 0x1FFF}, {197, -1}};
    for (const auto& [id, code] : sent) {
        sink->ClearCalls();
        object().SendStatusChanged(id);
        const auto calls = sink->Calls();
        ASSERT_EQ(code == -1 ? 0u : 1u, calls.size()) << "status id " << id;
        if (code == -1) continue;
        EXPECT_EQ(1, calls[0].dispid);
        EXPECT_EQ(code, calls[0].value) << "status id " << id;
    }
}

TEST_F(EventRaising, SendStatusChangedTracesTheIdAsCalledAtLevel3EvenWithoutAnEvent)
{
    auto sink = Connect();
    quorvex::ResetLogStateForTests();
    TempDirectory directory;
    const std::string path = directory.Child("events.txt");
    ASSERT_TRUE(quorvex::OpenLog(path.c_str(), 3));
    object().SendStatusChanged(197);
    object().SendStatusChanged(204);
    quorvex::SetCurrentLogLevel(2);
    object().SendStatusChanged(209);  // below level 3: no records
    quorvex::ResetLogStateForTests();

    std::istringstream log(ReadFileBytes(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    ASSERT_EQ(4u, lines.size()) << ReadFileBytes(path);
    // Located entry record with the id as called; plain exit record.
    EXPECT_NE(std::string::npos,
              lines[0].find("SmartCardAuthPlugin.cpp:665   CSmartCardAuthPlugin::SendStatusChanged(0xC5)"))
        << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("<---- CSmartCardAuthPlugin::SendStatusChanged(0xC5)")) << lines[1];
    EXPECT_NE(std::string::npos, lines[2].find("CSmartCardAuthPlugin::SendStatusChanged(0xCC)")) << lines[2];
    EXPECT_NE(std::string::npos, lines[3].find("<---- CSmartCardAuthPlugin::SendStatusChanged(0xCC)")) << lines[3];
    EXPECT_EQ(2u, sink->CallCount());
}
