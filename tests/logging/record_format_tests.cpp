// Layout and limits of plain and located records.
#include <windows.h>

#include <string>

#include "log_test_support.h"
#include "logging/log.h"
#include "logging/record_prefix.h"

namespace quorvex::test {
namespace {

TEST(RecordPrefix, FieldsArePaddedAndWidthBecomesSpaces)
{
    char buffer[512] = {};
    EXPECT_EQ(FormatRecordPrefix(buffer, {1, 2, 3, 4}, 5, 0), 20);
    EXPECT_STREQ(buffer, "01:02:03.004 [0005] ");

    char wide[512] = {};
    FormatRecordPrefix(wide, {23, 59, 59, 999}, 123456, 4);
    EXPECT_STREQ(wide, "23:59:59.999 [123456]     ");

    // Only an absurd indentation can overflow the line; the prefix is cut too.
    char huge[512] = {};
    EXPECT_EQ(FormatRecordPrefix(huge, {0, 0, 0, 0}, 5, 600), 510);
    EXPECT_EQ(std::string(huge).find_first_not_of(' ', 20), std::string::npos);
}

using RecordFormat = LogTest;

TEST_F(RecordFormat, PlainRecordCarriesLocalTimeThreadAndText)
{
    OpenFreshLog(3);
    SYSTEMTIME before{};
    ::GetLocalTime(&before);
    EXPECT_TRUE(LogPlain("reader %S has %d slot%s", L"Sim Reader 0", 2, "s"));
    SYSTEMTIME after{};
    ::GetLocalTime(&after);

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].thread, ThreadTag());
    EXPECT_EQ(records[0].indentation, 0);
    EXPECT_EQ(records[0].text, "reader Sim Reader 0 has 2 slots");
    auto ms = [](int h, int m, int s, int milli) { return ((h * 60 + m) * 60 + s) * 1000 + milli; };
    const int written = ms(records[0].hour, records[0].minute, records[0].second, records[0].millisecond);
    const int low = ms(before.wHour, before.wMinute, before.wSecond, before.wMilliseconds);
    const int high = ms(after.wHour, after.wMinute, after.wSecond, after.wMilliseconds);
    if (low <= high) {  // not across midnight
        EXPECT_GE(written, low - 20);
        EXPECT_LE(written, high + 20);
    }
}

TEST_F(RecordFormat, TextThatDoesNotFitIsCutToExactly510Characters)
{
    OpenFreshLog(3);
    const std::string fitting(510 - 20, 'f');  // width 0, four-digit thread tags below 10000
    const std::string tooLong(600, 'x');
    LogPlain("%s", fitting.c_str());
    LogPlain("%s!", fitting.c_str());
    LogPlain("%s", tooLong.c_str());
    TraceScope scope;
    LogLocated(SetTracePosition(scope, "Deep.cpp", 1), "%s", tooLong.c_str());
    CloseLog();

    const auto lines = ReadLogLines(logPath_);
    ASSERT_EQ(lines.size(), 4u);
    if (ThreadTag().size() == 4) {
        EXPECT_EQ(lines[0].size(), 510u);
        EXPECT_EQ(lines[0].substr(20), fitting);
        EXPECT_EQ(lines[1].substr(20), fitting) << "the character beyond 510 is dropped";
    }
    for (const std::string& line : lines) EXPECT_EQ(line.size(), 510u);
    EXPECT_EQ(lines[2].back(), 'x');
    EXPECT_NE(lines[3].find("Deep.cpp:1   xxx"), std::string::npos);
}

TEST_F(RecordFormat, LocatedRecordNamesBaseNameAndLineOnlyWhenSet)
{
    OpenFreshLog(3);
    TraceScope scope;  // width 2
    LogLocated(scope, "no position yet");
    LogLocated(SetTracePosition(scope, "C:\\work\\src/plugin\\SmartCardAuthPlugin.cpp", 412), "step %d", 7);
    LogLocated(SetTracePosition(scope, "/home/build/smartcard/card_watch.cpp", 9), "x");
    LogLocated(SetTracePosition(scope, "Glsapi.cpp", 33), "y");
    QV_LOG(1, scope, "through the macro");
    const int macroLine = __LINE__ - 1;

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 5u);
    for (const auto& record : records) EXPECT_EQ(record.indentation, 2);
    EXPECT_EQ(records[0].text, "no position yet");
    EXPECT_EQ(records[1].text, "SmartCardAuthPlugin.cpp:412   step 7");
    EXPECT_EQ(records[2].text, "card_watch.cpp:9   x");
    EXPECT_EQ(records[3].text, "Glsapi.cpp:33   y");
    EXPECT_EQ(records[4].text, "record_format_tests.cpp:" + std::to_string(macroLine) + "   through the macro");
}

TEST_F(RecordFormat, PercentSignsInsideMessagesAreWrittenUnchanged)
{
    OpenFreshLog(3);
    TraceScope scope;
    QV_LOG(1, scope, "%s", "100% of %d %s");
    QV_LOG(1, scope, "rate 100%% of %s", "50%s");
    TraceScope::ModuleScope moduleTag;
    TraceScope moduleScope(moduleTag);  // width back to 0
    LogLocated(moduleScope, "%s", "%x%n%S");
    LogPlain("%s", "plain %s %%");

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_NE(records[0].text.find("   100% of %d %s"), std::string::npos) << records[0].text;
    EXPECT_NE(records[1].text.find("   rate 100% of 50%s"), std::string::npos) << records[1].text;
    EXPECT_EQ(records[2].text, "%x%n%S");
    EXPECT_EQ(records[3].text, "plain %s %%");
}

TEST_F(RecordFormat, RecordsBelowTheLevelAreNeitherFormattedNorWritten)
{
    OpenFreshLog(1);
    int evaluated = 0;
    auto argument = [&evaluated] { return ++evaluated; };
    TraceScope scope;
    QV_LOG(3, scope, "trace %d", argument());
    QV_LOG(2, scope, "notice %d", argument());
    QV_LOG_PLAIN(2, "plain notice %d", argument());
    QV_LOG(1, scope, "*** error %d", argument());
    SetCurrentLogLevel(0);
    QV_LOG(1, scope, "*** silent %d", argument());
    SetCurrentLogLevel(4);
    QV_LOG(3, scope, "level four writes trace records %d", argument());

    EXPECT_EQ(evaluated, 2);
    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].text.find("*** error 1"), std::string::npos);
    EXPECT_NE(records[1].text.find("level four writes trace records 2"), std::string::npos);
}

}  // namespace
}  // namespace quorvex::test
