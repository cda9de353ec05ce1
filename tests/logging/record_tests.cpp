// Layout, limits and levels of records and trace scopes, records of several
// threads at once, and the readable text of error codes.
#include <algorithm>
#include <stdexcept>
#include <thread>

#include "log_test_support.h"
#include "logging/record_prefix.h"
#include "logging/system_error_text.h"

namespace quorvex::test {
namespace {

std::string Located(int line, const std::string& text)
{
    return "record_tests.cpp:" + std::to_string(line) + "   " + text;
}

TEST(RecordPrefix, FieldsArePaddedAndWidthBecomesSpaces)
{
    char buffer[512] = {};
    EXPECT_EQ(FormatRecordPrefix(buffer, {1, 2, 3, 4}, 5, 0), 20);
    EXPECT_STREQ(buffer, "01:02:03.004 [0005] ");
    FormatRecordPrefix(buffer, {23, 59, 59, 999}, 123456, 4);
    EXPECT_STREQ(buffer, "23:59:59.999 [123456]     ");
    // Only an absurd indentation can overflow the line; the prefix is cut too.
    EXPECT_EQ(FormatRecordPrefix(buffer, {}, 5, 600), 510);
    EXPECT_EQ(std::string(buffer).find_first_not_of(' ', 20), std::string::npos);
}

using RecordFormat = LogTest;

TEST_F(RecordFormat, PlainRecordCarriesLocalTimeThreadAndText)
{
    OpenFreshLog(3);
    SYSTEMTIME before{}, after{};
    ::GetLocalTime(&before);
    EXPECT_TRUE(LogPlain("reader %S has %d slot%s", L"Sim Reader 0", 2, "s"));
    ::GetLocalTime(&after);

    const auto records = WrittenRecords();
    ExpectRecords(records, {{0, "reader Sim Reader 0 has 2 slots"}});
    EXPECT_EQ(records[0].thread, ThreadTag());
    auto ms = [](const SYSTEMTIME& t) {
        return ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
    };
    if (ms(before) <= ms(after)) {  // not across midnight
        EXPECT_GE(records[0].millisecondOfDay, ms(before) - 20);
        EXPECT_LE(records[0].millisecondOfDay, ms(after) + 20);
    }
}

TEST_F(RecordFormat, LocatedRecordNamesBaseNameAndLineOnlyWhenSetAndKeepsPercentSigns)
{
    OpenFreshLog(3);
    int line = 0;
    {
        TraceScope scope, scopeToo;  // width 4
        LogLocated(scope, "%s", "no position yet %x%n%S");
        LogLocated(SetTracePosition(scope, "C:\\work\\src/plugin\\SmartCardAuthPlugin.cpp", 412), "step %d", 7);
        LogLocated(SetTracePosition(scope, "/home/build/smartcard/card_watch.cpp", 9), "x");
        LogLocated(SetTracePosition(scope, "Glsapi.cpp", 33), "y");
        line = __LINE__ + 1;
        QV_LOG(1, scope, "%s", "100% of %d %s");
        QV_LOG(1, scope, "rate 100%% of %s", "50%s");
        LogPlain("%s", "plain %s %%");
        {
            TraceScope moduleScope{TraceScope::ModuleScope{}};  // resets the width, never raises it
            LogLocated(moduleScope, "module record");
        }
        EXPECT_EQ(IndentationWidth(), 0) << "a module scope's end changes nothing";
    }
    ExpectRecords(WrittenRecords(), {{4, "no position yet %x%n%S"},
                                     {4, "SmartCardAuthPlugin.cpp:412   step 7"},
                                     {4, "card_watch.cpp:9   x"},
                                     {4, "Glsapi.cpp:33   y"},
                                     {4, Located(line, "100% of %d %s")},
                                     {4, Located(line + 1, "rate 100% of 50%s")},
                                     {4, "plain %s %%"},
                                     {0, "module record"}});
}

TEST_F(RecordFormat, OverlongTextsAreCutAtTheirLimits)
{
    OpenFreshLog(3);
    const std::string fitting(510 - 20, 'f');  // width 0, four-digit thread tags below 10000
    const std::string tooLong(600, 'x'), shorter(480, 'r');
    LogPlain("%s", fitting.c_str());
    LogPlain("%s!", fitting.c_str());
    {
        TraceScope scope;
        LogLocated(SetTracePosition(scope, "Deep.cpp", 1), "%s", tooLong.c_str());
        TraceEnter(scope, "%s", tooLong.c_str());
        EXPECT_EQ(scope.entryText, tooLong.substr(0, 502));
        TraceReturn(scope, "%s", tooLong.c_str());
        TraceScope inner;
        TraceEnter(inner, "%s", shorter.c_str());
        EXPECT_EQ(inner.entryText, shorter) << "the stored text has no arrow";
    }
    CloseLog();
    const auto lines = ReadLogLines(logPath_);
    ASSERT_EQ(lines.size(), 7u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(lines[i].size(), 510u) << i;
    EXPECT_TRUE(ThreadTag().size() != 4 || lines[1].substr(20) == fitting) << "the character beyond 510 is dropped";
    EXPECT_NE(lines[2].find("Deep.cpp:1   xxx"), std::string::npos);
    EXPECT_EQ(lines[3].back(), 'x') << "prefix, entry text and arrow exceed the line";
    EXPECT_NE(lines[4].find("] <---- xxx"), std::string::npos);
    EXPECT_EQ(ParseRecordLine(lines[5]).text, shorter + " ---->");
    EXPECT_EQ(ParseRecordLine(lines[6]).text, "<---- " + shorter);
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
    QV_LOG_PLAIN(1, "*** error %d", argument());
    SetCurrentLogLevel(0);
    QV_LOG(1, scope, "*** silent %d", argument());
    SetCurrentLogLevel(4);
    QV_LOG_PLAIN(3, "level four writes trace records %d", argument());
    EXPECT_EQ(evaluated, 2);
    ExpectRecords(WrittenRecords(), {{2, "*** error 1"}, {2, "level four writes trace records 2"}});
}

TEST_F(RecordFormat, TwoThreadsOfTenThousandRecordsEachKeepEveryLineIntact)
{
    constexpr int kRecordsPerThread = 10000;
    const std::string payload(120, '=');
    auto text = [&payload](int index, int i) {
        return "writer " + std::to_string(index) + " record " + std::to_string(i) + " " + payload;
    };
    OpenFreshLog(3);
    std::string threadTags[2];
    auto writer = [&](int index) {
        threadTags[index] = ThreadTag();
        TraceScope scope;  // both threads' scopes add to the one width
        for (int i = 0; i < kRecordsPerThread; ++i) {
            if (index == 0) QV_LOG(3, scope, "writer %d record %d %s", index, i, payload.c_str());
            if (index == 1) QV_LOG_PLAIN(3, "writer %d record %d %s", index, i, payload.c_str());
        }
    };
    std::thread first(writer, 0), second(writer, 1);
    first.join();
    second.join();
    EXPECT_EQ(IndentationWidth(), 0);

    std::vector<std::string> texts[2];
    for (const RecordLine& record : WrittenRecords()) {
        EXPECT_TRUE(record.indentation == 2 || record.indentation == 4) << record.indentation;
        const size_t at = std::min(record.text.find("writer "), record.text.size());  // behind a position
        texts[record.thread == threadTags[0] ? 0 : 1].push_back(record.text.substr(at));
    }
    for (int index : {0, 1}) {
        ASSERT_EQ(texts[index].size(), size_t{kRecordsPerThread});
        for (int i = 0; i < kRecordsPerThread; ++i) {  // whole, and in the order the thread wrote them
            ASSERT_EQ(texts[index][i], text(index, i)) << threadTags[index];
        }
    }
}

using TraceScopes = LogTest;

TEST_F(TraceScopes, EntryAndExitStandAtTheCallersDepthOnEveryWayOut)
{
    OpenFreshLog(3);
    int lines[4] = {};
    {
        TraceScope outer;
        lines[0] = __LINE__ + 1;
        QV_TRACE_ENTER(outer, "CSmartCardAuthPlugin::SendStatusChanged(0x%X)", 0x20CC);
        EXPECT_EQ(IndentationWidth(), 2);
        {
            TraceScope inner;
            lines[1] = __LINE__ + 1;
            QV_TRACE_ENTER(inner, "Inner::Work()");
            lines[2] = __LINE__ + 1;
            QV_LOG(3, inner, "working");
            QV_TRACE_RETURN(inner, "return %s", "OK");  // the scope's end writes no second exit record
        }
        QV_LOG_PLAIN(3, "------------------------------");
        auto failing = [&lines] {
            TraceScope scope;
            lines[3] = __LINE__ + 1;
            QV_TRACE_ENTER(scope, "Failing::Run()");
            throw std::runtime_error("out");
        };
        EXPECT_THROW(failing(), std::runtime_error);
        EXPECT_EQ(IndentationWidth(), 2);
    }
    EXPECT_EQ(IndentationWidth(), 0);
    ExpectRecords(WrittenRecords(), {{0, Located(lines[0], "CSmartCardAuthPlugin::SendStatusChanged(0x20CC) ---->")},
                                     {2, Located(lines[1], "Inner::Work() ---->")},
                                     {4, Located(lines[2], "working")},
                                     {2, "<---- Inner::Work() return OK"},
                                     {2, "------------------------------"},
                                     {2, Located(lines[3], "Failing::Run() ---->")},
                                     {2, "<---- Failing::Run()"},
                                     {0, "<---- CSmartCardAuthPlugin::SendStatusChanged(0x20CC)"}});
}

TEST_F(TraceScopes, ExitRecordNeedsLevelThreeAtBothEnds)
{
    OpenFreshLog(2);
    {
        TraceScope notEntered;
        QV_TRACE_ENTER(notEntered, "Quiet::Start()");
        SetCurrentLogLevel(3);  // raised while the routine runs
        EXPECT_EQ(IndentationWidth(), 2);
    }
    int line = 0;
    {
        TraceScope enteredThenLowered;
        line = __LINE__ + 1;
        QV_TRACE_ENTER(enteredThenLowered, "Loud::Start()");
        SetCurrentLogLevel(2);
    }
    EXPECT_EQ(IndentationWidth(), 0);
    ExpectRecords(WrittenRecords(), {{0, Located(line, "Loud::Start() ---->")}});
}

TEST(SystemErrorText, SystemTextLosesOnlyItsLineEndsOtherCodesGiveHex)
{
    wchar_t raw[1024] = {};
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          ERROR_FILE_NOT_FOUND, LANG_USER_DEFAULT, raw, 1024, nullptr);
    ASSERT_GE(length, 3u);
    ASSERT_EQ(std::wstring(raw + length - 3), L".\r\n") << "the system text ends with a full stop and a line end";
    EXPECT_EQ(GetSystemErrorText(ERROR_FILE_NOT_FOUND), std::wstring(raw, length - 2));
    EXPECT_EQ(GetSystemErrorText(0x00ABCDEF), L"unknown error code: 0xABCDEF");
    EXPECT_EQ(GetSystemErrorText(0xDEADBEEF), L"unknown error code: 0xDEADBEEF");

    // The reserved code stands for the thread's last error.
    ::SetLastError(ERROR_ACCESS_DENIED);
    const std::wstring lastError = GetSystemErrorText(kLastErrorCode);
    EXPECT_EQ(lastError, GetSystemErrorText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(lastError.find(L"unknown error code"), std::wstring::npos);
}

}  // namespace
}  // namespace quorvex::test
