// Records written from several threads at once stay whole, one per line.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "logging/log.h"

namespace quorvex::test {
namespace {

using ConcurrentRecords = LogTest;

TEST_F(ConcurrentRecords, TwoThreadsOfTenThousandRecordsEachKeepEveryLineIntact)
{
    constexpr int kRecordsPerThread = 10000;
    const std::string payload(120, '=');
    OpenFreshLog(3);
    std::string threadTags[2];
    auto writer = [&](int index) {
        threadTags[index] = ThreadTag();
        TraceScope scope;  // both threads' scopes add to the one width
        for (int i = 0; i < kRecordsPerThread; ++i) {
            if (index == 0) {
                QV_LOG(3, scope, "writer %d record %05d %s", index, i, payload.c_str());
            } else {
                QV_LOG_PLAIN(3, "writer %d record %05d %s", index, i, payload.c_str());
            }
        }
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    EXPECT_EQ(IndentationWidth(), 0);

    const auto records = WrittenRecords();
    ASSERT_EQ(records.size(), 2u * kRecordsPerThread);
    int next[2] = {0, 0};
    for (const RecordLine& record : records) {
        int index = -1;
        int number = -1;
        char rest[200] = {};
        std::string text = record.text;
        const size_t position = text.find("   writer ");
        if (position != std::string::npos) text = text.substr(position + 3);  // the located writer
        ASSERT_EQ(std::sscanf(text.c_str(), "writer %d record %d %199s", &index, &number, rest), 3) << text;
        ASSERT_TRUE(index == 0 || index == 1) << text;
        EXPECT_EQ(record.thread, threadTags[index]);
        EXPECT_EQ(number, next[index]) << "records of one thread keep their order";
        next[index] = number + 1;
        EXPECT_EQ(std::string(rest), payload);
        EXPECT_TRUE(record.indentation == 2 || record.indentation == 4) << record.indentation;
    }
    EXPECT_EQ(next[0], kRecordsPerThread);
    EXPECT_EQ(next[1], kRecordsPerThread);
}

}  // namespace
}  // namespace quorvex::test
