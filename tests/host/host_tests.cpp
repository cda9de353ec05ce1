// quorvex-host as an integrator runs it: a separate process that reaches the
// plug-in through COM, driven by a scenario of the simulated PC/SC service.
#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"
#include "support/quorvex_dll.h"
#include "support/temp_directory.h"

using quorvex::test::BinPath;
using quorvex::test::ChildOptions;
using quorvex::test::ChildResult;
using quorvex::test::RunChild;
using quorvex::test::TempDirectory;

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

constexpr char kKnownAtr[] = "3B:7F:13:00:00:51:56:58:54:45:53:54:43:41:52:44:00:01:90:00";

// A folder holding the host, the plug-in, the simulated service and the
// English status texts, as the demo lays them out.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* file : {L"quorvex-host.exe", L"Quorvex.dll", L"winscard.dll"}) {
            ASSERT_TRUE(::CopyFileW(BinPath(file).c_str(), (folder() + L"\\" + file).c_str(), FALSE)) << "copy failed";
        }
        ASSERT_TRUE(::CopyFileW(BinPath(L"..\\resource_libraries\\VestrelRes_en.dll").c_str(),
                                (folder() + L"\\VestrelRes_en.dll").c_str(), FALSE));
    }

    std::wstring folder() const { return Wide(temp.path()); }

    void Scenario(const std::string& text)
    {
        ASSERT_TRUE(quorvex::test::WriteFileBytes(temp.Child("scenario.txt"), text));
    }

    ChildResult Host(const std::wstring& arguments, bool byDll = true)
    {
        ChildOptions options;
        options.workingDirectory = folder();
        options.environment[L"SCARDSIM_SCENARIO"] = folder() + L"\\scenario.txt";
        std::wstring line = L"\"" + folder() + L"\\quorvex-host.exe\" ";
        if (byDll) line += L"--dll \"" + folder() + L"\\Quorvex.dll\" ";
        return RunChild(line + arguments, options);
    }

    TempDirectory temp;
};

std::string TwoReaders()
{
    return std::string("reader \"Alpha Reader\"\nreader \"Beta Reader\"\n") + "cardtype \"Test Card\" " + kKnownAtr +
           " csp \"Test Provider\"\n";
}

TEST_F(HostTest, ListShowsEveryReader)
{
    Scenario(TwoReaders());
    ChildResult result = Host(L"list");
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_EQ("2 readers:\n  [0] Alpha Reader\n  [1] Beta Reader\n", result.output);
}

TEST_F(HostTest, CaptureEndsWithDataReadyForTheInsertedCard)
{
    Scenario(TwoReaders() + "at 500 insert \"Beta Reader\" " + kKnownAtr + "\n");
    ChildResult result = Host(L"capture --timeout 20");
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("StatusChanged 0x20CC  category 0x2000")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("  DataReady\n"
                                                    "    smartCardName:   Test Card\n"
                                                    "    smartCardReader: Beta Reader\n"
                                                    "    cspName:         Test Provider\n"))
        << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("ERROR: cannot load status string")) << result.output;
}

TEST_F(HostTest, CaptureOnANamedReaderIgnoresNothingButNeedsTheName)
{
    Scenario(TwoReaders() + "at 300 insert \"Alpha Reader\" " + kKnownAtr + "\n");
    ChildResult result = Host(L"capture --reader \"Alpha Reader\" --timeout 20");
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("smartCardReader: Alpha Reader")) << result.output;

    result = Host(L"capture --reader \"No Such Reader\" --timeout 1");
    EXPECT_EQ(1u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Reader \"No Such Reader\" not found")) << result.output;
}

TEST_F(HostTest, CaptureOfAnUnknownCardEndsWithFailed)
{
    Scenario(TwoReaders() + "at 300 insert \"Alpha Reader\" 3B:00:11:22\n");
    ChildResult result = Host(L"capture --timeout 20");
    EXPECT_EQ(1u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Failed 0x00D2")) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("DataReady")) << result.output;
}

TEST_F(HostTest, CaptureWithoutACardTimesOut)
{
    Scenario(TwoReaders());
    ChildResult result = Host(L"capture --timeout 1");
    EXPECT_EQ(2u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Time-out: no card was identified within 1 s.")) << result.output;
}

TEST_F(HostTest, StatusExplainsCodesAndRefusesNonNumbers)
{
    Scenario(TwoReaders());
    ChildResult result = Host(L"status 0x20CC 204 0x8007000E");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    const size_t first = result.output.find('\n');
    ASSERT_NE(std::string::npos, first);
    // 0x20CC and 204 name the same status id, so the same text.
    EXPECT_EQ(result.output.substr(6, first - 6), result.output.substr(first + 1 + 6, first - 6)) << result.output;

    result = Host(L"status twelve");
    EXPECT_EQ(64u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\"twelve\" is not a status code")) << result.output;
}

TEST_F(HostTest, BadCommandLinesGetUsageAndExitCode64)
{
    Scenario(TwoReaders());
    for (const wchar_t* arguments :
         {L"", L"frobnicate", L"capture --timeout soon", L"capture --colour blue", L"list extra", L"status"}) {
        ChildResult result = Host(arguments);
        EXPECT_EQ(64u, result.exitCode) << "arguments: " << std::string(arguments, arguments + wcslen(arguments))
                                        << "\n"
                                        << result.output;
    }
    ChildResult help = Host(L"--help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_NE(std::string::npos, help.output.find("Usage: quorvex-host")) << help.output;
}

TEST_F(HostTest, RegisterThenUseByProgIdThenUnregister)
{
    Scenario(TwoReaders());
    ChildResult result = Host(L"register");
    ASSERT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("DllRegisterServer(")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("): 0x00000000")) << result.output;

    result = Host(L"list", /*byDll=*/false);
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("[1] Beta Reader")) << result.output;

    result = Host(L"unregister");
    EXPECT_EQ(0u, result.exitCode) << result.output;

    result = Host(L"list", /*byDll=*/false);
    EXPECT_EQ(1u, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Quorvex.SmartCard is not registered")) << result.output;
}

}  // namespace
