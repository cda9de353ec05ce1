// Shared pieces of the logging tests: a fixture that starts and ends every
// test with the log state of a freshly loaded module, and a parser for the
// lines the log writes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "support/temp_directory.h"

namespace quorvex::test {

// One record line without its line end.
struct RecordLine {
    int hour = -1;
    int minute = -1;
    int second = -1;
    int millisecond = -1;
    std::string thread;  // the digits between the brackets
    int indentation = 0;
    std::string text;  // after the indentation
};

// Parses "hh:mm:ss.mmm [tttt] <indentation><text>"; false when malformed.
bool ParseRecordLine(const std::string& line, RecordLine& record);

// The file's lines; every line must end with CR LF (text mode), checked here.
std::vector<std::string> ReadLogLines(const std::string& path, long long fromOffset = 0);

// The calling thread's identifier as the prefix shows it.
std::string ThreadTag();

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLogStateForTests(); }
    void TearDown() override { ResetLogStateForTests(); }

    // Opens a new log file in the test's directory at the given level.
    std::string OpenFreshLog(int level, const char* name = "test.txt")
    {
        logPath_ = directory_.Child(name);
        EXPECT_TRUE(OpenLog(logPath_.c_str(), level));
        return logPath_;
    }

    // Closes the log and parses every line written to it.
    std::vector<RecordLine> WrittenRecords()
    {
        CloseLog();
        std::vector<RecordLine> records;
        for (const std::string& line : ReadLogLines(logPath_)) {
            RecordLine record;
            EXPECT_TRUE(ParseRecordLine(line, record)) << "malformed line: " << line;
            records.push_back(record);
        }
        return records;
    }

    TempDirectory directory_;
    std::string logPath_;
};

}  // namespace quorvex::test
