#include "log_test_support.h"

#include <windows.h>

#include <cctype>
#include <cstdio>

namespace quorvex::test {

namespace {

bool ReadNumber(const std::string& line, size_t& at, size_t digits, int& value)
{
    value = 0;
    for (size_t i = 0; i < digits; ++i, ++at) {
        if (at >= line.size() || !std::isdigit(static_cast<unsigned char>(line[at]))) return false;
        value = value * 10 + (line[at] - '0');
    }
    return true;
}

bool Expect(const std::string& line, size_t& at, char c)
{
    if (at >= line.size() || line[at] != c) return false;
    ++at;
    return true;
}

}  // namespace

bool ParseRecordLine(const std::string& line, RecordLine& record)
{
    size_t at = 0;
    if (!ReadNumber(line, at, 2, record.hour) || !Expect(line, at, ':') || !ReadNumber(line, at, 2, record.minute) ||
        !Expect(line, at, ':') || !ReadNumber(line, at, 2, record.second) || !Expect(line, at, '.') ||
        !ReadNumber(line, at, 3, record.millisecond) || !Expect(line, at, ' ') || !Expect(line, at, '[')) {
        return false;
    }
    const size_t close = line.find(']', at);
    if (close == std::string::npos || close - at < 4) return false;
    record.thread = line.substr(at, close - at);
    for (char c : record.thread) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    at = close + 1;
    if (!Expect(line, at, ' ')) return false;
    const size_t textStart = line.find_first_not_of(' ', at);
    record.indentation = static_cast<int>((textStart == std::string::npos ? line.size() : textStart) - at);
    record.text = textStart == std::string::npos ? std::string() : line.substr(textStart);
    return record.hour < 24 && record.minute < 60 && record.second < 60;
}

std::vector<std::string> ReadLogLines(const std::string& path, long long fromOffset)
{
    const std::string bytes = ReadFileBytesFrom(path, fromOffset);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line has no CR LF: " << bytes.substr(start);
            break;
        }
        const std::string line = bytes.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "bare line feed in: " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

std::string ThreadTag()
{
    char tag[16] = {};
    std::snprintf(tag, sizeof(tag), "%04d", static_cast<int>(::GetCurrentThreadId()));
    return tag;
}

}  // namespace quorvex::test
