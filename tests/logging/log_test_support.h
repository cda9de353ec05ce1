// Shared pieces of the logging tests: a fixture that starts and ends every
// test with the log state of a freshly loaded module, and a parser for the
// lines the log writes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "logging/log.h"
#include "logging/log_config.h"
#include "logging/log_file.h"
#include "logging/log_state.h"
#include "support/policy_key_editor.h"
#include "support/temp_directory.h"

namespace quorvex::test {

// "hh:mm:ss.mmm [tttt] <indentation><text>" taken apart; a malformed line fails the test.
struct RecordLine {
    int millisecondOfDay = 0;
    std::string thread;
    int indentation = 0;
    std::string text;
};

inline RecordLine ParseRecordLine(const std::string& line)
{
    static const std::regex layout(R"(([01]\d|2[0-3]):([0-5]\d):([0-5]\d)\.(\d{3}) \[(\d{4,})\] ( *)(.*))");
    std::smatch m;
    if (!std::regex_match(line, m, layout)) {
        ADD_FAILURE() << "malformed line: " << line;
        return {};
    }
    return {((std::stoi(m[1]) * 60 + std::stoi(m[2])) * 60 + std::stoi(m[3])) * 1000 + std::stoi(m[4]), m[5],
            static_cast<int>(m.length(6)), m[7]};
}

// The lines of `text`, each without `lineEnd`; none may hold another line feed.
inline std::vector<std::string> SplitLines(const std::string& text, const std::string& lineEnd)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(lineEnd, start)) != std::string::npos; start = end + lineEnd.size()) {
        lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(lines.back().find('\n'), std::string::npos) << "bare line feed in: " << lines.back();
    }
    EXPECT_EQ(start, text.size()) << "no line end after: " << text.substr(start);
    return lines;
}

// The log file holds text-mode lines: each ends with CR LF.
inline std::vector<std::string> ReadLogLines(const std::string& path, long long fromOffset = 0)
{
    return SplitLines(ReadFileBytes(path, fromOffset), "\r\n");
}

// Each record's indentation and text against a table of them.
inline void ExpectRecords(const std::vector<RecordLine>& records,
                          const std::vector<std::pair<int, std::string>>& expected)
{
    std::vector<std::pair<int, std::string>> actual;
    for (const RecordLine& record : records) actual.emplace_back(record.indentation, record.text);
    EXPECT_EQ(actual, expected);
}

// The calling thread's identifier as the prefix shows it.
inline std::string ThreadTag()
{
    const std::string digits = std::to_string(::GetCurrentThreadId());
    return std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLogStateForTests(); }
    void TearDown() override { ResetLogStateForTests(); }

    // Opens a new log file in the test's directory at the given level.
    void OpenFreshLog(int level)
    {
        logPath_ = directory_.Child("test.txt");
        EXPECT_TRUE(OpenLog(logPath_.c_str(), level));
    }

    // Closes the log and parses every line written to it.
    std::vector<RecordLine> WrittenRecords()
    {
        CloseLog();
        std::vector<RecordLine> records;
        for (const std::string& line : ReadLogLines(logPath_)) records.push_back(ParseRecordLine(line));
        return records;
    }

    TempDirectory directory_;
    std::string logPath_;
};

}  // namespace quorvex::test
