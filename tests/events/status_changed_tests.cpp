// SendStatusChanged: the category each status id gets, and its trace records.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "plugin/event_source.h"
#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/temp_directory.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using namespace quorvex::test;

namespace {

class SendStatusChanged : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, AdviseEvents(plugin_.get(), sink_.get(), &cookie));
    }
    // The status code StatusChanged carried, or -1 when no event came.
    LONG Send(LONG statusId)
    {
        sink_->ClearCalls();
        PluginObject(plugin_.get()).SendStatusChanged(statusId);
        const auto calls = sink_->Calls();
        if (calls.empty()) return -1;
        EXPECT_EQ(1u, calls.size());
        EXPECT_EQ(quorvex::kDispidStatusChanged, calls[0].dispid);
        return calls[0].value;
    }

    ComPtr<IPkiAuthenticationPlugin> plugin_ = CreatePlugin();
    ComPtr<TestSink> sink_ = TestSink::Create();
};

}  // namespace

TEST_F(SendStatusChanged, EveryStatusIdGetsItsCategory)
{
    const std::map<LONG, LONG> sent = {
        {204, 0x20CC}, {209, 0x20D1}, {210, 0x50D2}, {219, 0x50DB}, {220, 0x50DC},
        {217, 0x40D9}, {221, 0x70DD}, {222, 0x80DE}, {200, 0x10C8}, {198, 0x10C6},
        {211, 0x10D3}, {218, 0x10DA}, {196, 0x10C4}, {223, 0x10DF}, {0, 0x1000},
        {4095, 0x1FFF}};
    for (const auto& [id, code] : sent) EXPECT_EQ(code, Send(id)) << "status id " << id;
    // Every id between the ones in use that has no category of its own gets 0x1000.
    for (LONG id = 198; id <= 222; ++id) {
        if (sent.count(id)) continue;
        EXPECT_EQ(id | 0x1000, Send(id)) << "status id " << id;
    }
}

TEST_F(SendStatusChanged, Id197RaisesNothing)
{
    EXPECT_EQ(-1, Send(197));
    EXPECT_EQ(0, quorvex::StatusCategory(197));
}

TEST_F(SendStatusChanged, SnapshotVariantRaisesTheSameCodes)
{
    quorvex::SinkSnapshot sinks = PluginObject(plugin_.get()).eventConnectionPoint().Snapshot();
    quorvex::SendStatusChangedTo(sinks, 217);
    quorvex::SendStatusChangedTo(sinks, 197);
    const auto calls = sink_->Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0x40D9, calls[0].value);
}

TEST_F(SendStatusChanged, TracesEntryAndExitAtLevel3EvenWithoutAnEvent)
{
    quorvex::ResetLogStateForTests();
    TempDirectory directory;
    const std::string path = directory.Child("events.txt");
    ASSERT_TRUE(quorvex::OpenLog(path.c_str(), 3));
    quorvex::SetCurrentLogLevel(3);
    PluginObject(plugin_.get()).SendStatusChanged(197);
    PluginObject(plugin_.get()).SendStatusChanged(204);
    quorvex::SetCurrentLogLevel(2);
    PluginObject(plugin_.get()).SendStatusChanged(209);  // below level 3: no records
    quorvex::ResetLogStateForTests();

    std::istringstream log(ReadFileBytes(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    ASSERT_EQ(4u, lines.size()) << ReadFileBytes(path);
    // Located entry record with the id as called; plain exit record.
    EXPECT_NE(std::string::npos,
              lines[0].find("SmartCardAuthPlugin.cpp:665   CSmartCardAuthPlugin::SendStatusChanged(0xC5)"))
        << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("<---- CSmartCardAuthPlugin::SendStatusChanged(0xC5)")) << lines[1];
    EXPECT_NE(std::string::npos, lines[2].find("CSmartCardAuthPlugin::SendStatusChanged(0xCC)")) << lines[2];
    EXPECT_NE(std::string::npos, lines[3].find("<---- CSmartCardAuthPlugin::SendStatusChanged(0xCC)")) << lines[3];
    EXPECT_EQ(2u, sink_->CallCount());
}
