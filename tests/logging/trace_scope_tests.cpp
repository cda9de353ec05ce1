// Entry and exit records of trace scopes and the indentation they manage.
#include <stdexcept>
#include <string>

#include "log_test_support.h"
#include "logging/log.h"

namespace quorvex::test {
namespace {

using TraceScopes = LogTest;

std::string Located(int line, const std::string& text)
{
    return "trace_scope_tests.cpp:" + std::to_string(line) + "   " + text;
}

TEST_F(TraceScopes, EntryAndExitStandAtTheCallersDepthAndTheBodyTwoDeeper)
{
    OpenFreshLog(3);
    int enterLine = 0;
    int innerEnterLine = 0;
    int bodyLine = 0;
    {
        TraceScope outer;
        QV_TRACE_ENTER(outer, "CSmartCardAuthPlugin::SendStatusChanged(0x%X)", 0x20CC);
        enterLine = __LINE__ - 1;
        EXPECT_EQ(IndentationWidth(), 2);
        {
            TraceScope inner;
            QV_TRACE_ENTER(inner, "Inner::Work()");
            innerEnterLine = __LINE__ - 1;
            QV_LOG(3, inner, "working");
            bodyLine = __LINE__ - 1;
        }
        QV_LOG_PLAIN(3, "------------------------------");
    }
    EXPECT_EQ(IndentationWidth(), 0);

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].indentation, 0);
    EXPECT_EQ(records[0].text, Located(enterLine, "CSmartCardAuthPlugin::SendStatusChanged(0x20CC) ---->"));
    EXPECT_EQ(records[1].indentation, 2);
    EXPECT_EQ(records[1].text, Located(innerEnterLine, "Inner::Work() ---->"));
    EXPECT_EQ(records[2].indentation, 4);
    EXPECT_EQ(records[2].text, Located(bodyLine, "working"));
    EXPECT_EQ(records[3].indentation, 2);
    EXPECT_EQ(records[3].text, "<---- Inner::Work()");
    EXPECT_EQ(records[4].indentation, 2);
    EXPECT_EQ(records[4].text, "------------------------------");
    EXPECT_EQ(records[5].indentation, 0);
    EXPECT_EQ(records[5].text, "<---- CSmartCardAuthPlugin::SendStatusChanged(0x20CC)");
}

TEST_F(TraceScopes, ExplicitReturnIsTheOnlyExitRecord)
{
    OpenFreshLog(3);
    {
        TraceScope scope;
        QV_TRACE_ENTER(scope, "CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard()");
        QV_TRACE_RETURN(scope, "return %s", "OK");
        EXPECT_FALSE(scope.entered);
    }
    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].indentation, 0);
    EXPECT_EQ(records[1].text, "<---- CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard() return OK");
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
    {
        TraceScope enteredThenLowered;
        QV_TRACE_ENTER(enteredThenLowered, "Loud::Start()");
        SetCurrentLogLevel(2);
    }
    EXPECT_EQ(IndentationWidth(), 0);

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].text.find("Loud::Start() ---->"), std::string::npos);
}

TEST_F(TraceScopes, RoutineLeftByAnExceptionStillLowersTheWidthAndExits)
{
    OpenFreshLog(3);
    auto failing = [] {
        TraceScope scope;
        QV_TRACE_ENTER(scope, "Failing::Run()");
        throw std::runtime_error("out");
    };
    EXPECT_THROW(failing(), std::runtime_error);
    EXPECT_EQ(IndentationWidth(), 0);
    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].text, "<---- Failing::Run()");
}

TEST_F(TraceScopes, EntryTextIsCutTo502AndTheArrowFollowsWhatFits)
{
    OpenFreshLog(3);
    const std::string signature(600, 's');
    const std::string shorter(480, 'r');
    {
        TraceScope scope;
        TraceEnter(scope, "%s", signature.c_str());
        EXPECT_EQ(scope.entryText, signature.substr(0, 502));
        TraceReturn(scope, "%s", signature.c_str());
    }
    {
        TraceScope scope;
        TraceEnter(scope, "%s", shorter.c_str());
        EXPECT_EQ(scope.entryText, shorter) << "the stored text has no arrow";
    }
    CloseLog();
    const auto lines = ReadLogLines(logPath_);
    ASSERT_EQ(lines.size(), 4u);
    // Prefix, entry text and arrow exceed the line: it is cut at 510.
    EXPECT_EQ(lines[0].size(), 510u);
    EXPECT_EQ(lines[0].back(), 's');
    EXPECT_EQ(lines[1].size(), 510u);
    EXPECT_NE(lines[1].find("] <---- sss"), std::string::npos);
    EXPECT_EQ(lines[2].substr(lines[2].size() - shorter.size() - 6), shorter + " ---->");
    EXPECT_EQ(lines[3].substr(lines[3].size() - shorter.size() - 6), "<---- " + shorter);
}

TEST_F(TraceScopes, ModuleScopeResetsTheWidthAndNeverRaisesIt)
{
    OpenFreshLog(3);
    {
        TraceScope routine;
        TraceScope routineToo;
        EXPECT_EQ(IndentationWidth(), 4);
        {
            TraceScope moduleScope{TraceScope::ModuleScope{}};
            EXPECT_EQ(IndentationWidth(), 0);
            LogLocated(moduleScope, "module record");
        }
        EXPECT_EQ(IndentationWidth(), 0) << "a module scope's end changes nothing";
    }
    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].indentation, 0);
    EXPECT_EQ(records[0].text, "module record");
}

}  // namespace
}  // namespace quorvex::test
