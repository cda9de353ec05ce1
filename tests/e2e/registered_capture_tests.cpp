// The whole road through registered COM, as a host meets the plug-in:
// regsvr32, creation by ProgID, readers, events, DataReady, the diagnostic
// log, EndCapture and unregistration.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "quorvex_h.h"
#include "scardsim/scardsim.h"
#include "support/child_process.h"
#include "support/plugin_helpers.h"
#include "support/policy_key_editor.h"
#include "support/quorvex_dll.h"
#include "support/sim_fixture.h"
#include "support/temp_directory.h"
#include "support/test_sink.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"
#include "win/unique_hkey.h"

using namespace quorvex;
using namespace quorvex::test;

namespace {

constexpr wchar_t kClassKey[] = L"CLSID\\{3426285D-DDFE-473B-85D5-8D551AE92E48}";

bool ClassesKeyExists(const wchar_t* path)
{
    UniqueHkey key;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

ChildResult Regsvr32(const std::wstring& arguments)
{
    return RunChild(L"\"" + SystemProgram(L"regsvr32.exe") + L"\" /s " + arguments);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class RegisteredCaptureTest : public SimulatedServiceTest {
protected:
    void SetUp() override
    {
        SimulatedServiceTest::SetUp();
        // The log configuration is read when the DLL loads: set it first.
        policy.DeleteKey();
        const std::string log = logPath();
        policy.SetString(L"MainLogFile", std::wstring(log.begin(), log.end()));
        policy.SetDword(L"MainLogLevel", 3);
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        dllPath = BinPath(L"Quorvex.dll");
        ChildResult registered = Regsvr32(L"\"" + dllPath + L"\"");
        ASSERT_EQ(0u, registered.exitCode) << registered.output;
    }

    void TearDown() override
    {
        ::CoFreeUnusedLibraries();
        ::CoUninitialize();
        Regsvr32(L"/u \"" + dllPath + L"\"");
        policy.DeleteKey();
        SimulatedServiceTest::TearDown();
    }

    std::string logPath() const { return temp.Child("road.log"); }

    TempDirectory temp;
    PolicyKeyEditor policy;
    std::wstring dllPath;
};

TEST_F(RegisteredCaptureTest, OneCaptureFromProgIdToUnregistration)
{
    SimAddReader(L"Reader Zero");
    SimAddReader(L"Reader One");
    SimAddReader(L"Reader Two");
    const auto atr = scardsim::AtrFromHex("3B:7F:13:00:00:51:56:58:54:45:53:54:43:41:52:44:00:01:90:00");
    SimAddCardType(L"Road Card", atr.data(), static_cast<DWORD>(atr.size()), L"Road Provider");

    CLSID clsid{};
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"Quorvex.SmartCard", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_CSmartCardAuthPlugin, clsid));
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"Quorvex.SmartCa.1", &clsid));

    {
        ComPtr<IPkiAuthenticationPlugin> plugin;
        ASSERT_EQ(S_OK, ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPkiAuthenticationPlugin,
                                           plugin.put_void()));
        LONG count = 0;
        ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        EXPECT_EQ(3, count);
        LONG rc = -1;
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        EXPECT_EQ(0, rc);

        ComPtr<TestSink> sink = TestSink::Create();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, AdviseEvents(plugin.get(), sink.get(), &cookie));
        ASSERT_EQ(S_OK, plugin->StartCapture(nullptr, nullptr, nullptr, &rc));
        EXPECT_EQ(0, rc);
        ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
        ASSERT_TRUE(SimInsertCard(L"Reader Two", atr.data(), static_cast<DWORD>(atr.size()), 0));
        ASSERT_TRUE(sink->WaitForCalls(2, std::chrono::seconds(10)));

        std::vector<SinkCall> calls = sink->Calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(1, calls[0].dispid);
        EXPECT_EQ(0x20CC, calls[0].value);
        EXPECT_EQ(2, calls[1].dispid);
        EXPECT_EQ((std::vector<std::wstring>{L"Road Card", L"Reader Two", L"Road Provider"}), calls[1].strings);

        ASSERT_EQ(S_OK, plugin->EndCapture(&rc));
        EXPECT_EQ(0, rc);
        EXPECT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
    }

    // The log tells the same road at level 3, line by line in the record format.
    const std::vector<std::string> lines = Lines(ReadFileBytes(logPath()));
    const std::regex prefix(R"(^\d\d:\d\d:\d\d\.\d\d\d \[\d{4,}\] .*)");
    auto index = [&](const std::string& needle) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(needle) != std::string::npos) return static_cast<long>(i);
        return -1L;
    };
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, prefix)) << line;
    const long entry = index("CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard() ---->");
    const long found = index("found a card in reader");
    const long send = index("send DataReady event");
    const long exit = index("<---- CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard() return OK");
    EXPECT_GE(entry, 0);
    EXPECT_LT(entry, found);
    EXPECT_LT(found, send);
    EXPECT_LT(send, exit);
    EXPECT_GE(index("CSmartCardAuthPlugin::SendStatusChanged(0xCC)"), 0);

    // Unregistration removes the class and its ProgIDs and leaves "CLSID".
    ChildResult unregistered = Regsvr32(L"/u \"" + dllPath + L"\"");
    EXPECT_EQ(0u, unregistered.exitCode) << unregistered.output;
    EXPECT_FALSE(ClassesKeyExists(L"Quorvex.SmartCard"));
    EXPECT_FALSE(ClassesKeyExists(L"Quorvex.SmartCa.1"));
    EXPECT_FALSE(ClassesKeyExists(kClassKey));
    EXPECT_TRUE(ClassesKeyExists(L"CLSID"));
    EXPECT_NE(S_OK, ::CLSIDFromProgID(L"Quorvex.SmartCard", &clsid));
}

TEST_F(RegisteredCaptureTest, ScriptClientCallsTheMethodsByName)
{
    TempDirectory scriptFolder;
    WriteFileBytes(scriptFolder.Child("scenario.txt"), "reader \"Script Reader A\"\nreader \"Script Reader B\"\n");
    std::string script = QUORVEX_SOURCE_DIR "/scripting/quorvex-client.vbs";
    for (char& c : script) c = c == '/' ? '\\' : c;
    ChildOptions options;
    const std::string scenario = scriptFolder.Child("scenario.txt");
    options.environment[L"SCARDSIM_SCENARIO"] = std::wstring(scenario.begin(), scenario.end());
    ChildResult result = RunChild(L"\"" + SystemProgram(L"cscript.exe") + L"\" //nologo \"Z:" +
                                      std::wstring(script.begin(), script.end()) + L"\"",
                                  options);
    EXPECT_EQ(0u, result.exitCode) << result.output;
    // A script runtime error ends the script silently: "done" proves it ran through.
    EXPECT_NE(std::string::npos, result.output.find("readers: 2\n  [0] Script Reader A\n  [1] Script Reader B\n"))
        << result.output;
    EXPECT_NE(std::string::npos, result.output.find("OpenDevice(\"\"): 0\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("GetStatusString(0x20CC): 0 ")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("EndCapture: 0\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("done\n")) << result.output;
}

}  // namespace
