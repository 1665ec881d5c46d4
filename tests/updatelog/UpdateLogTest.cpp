// The update log's arithmetic with fixed figures: the Blackfin pace and the threshold past
// which the adapter is blamed, which a real transfer's timing cannot place on either side.
#include <gtest/gtest.h>

#include "updatelog/UpdateLog.h"

namespace {

// 1,000 records of 47 characters each: at 115200 baud the line's own pace is 48 characters
// of 10 bits a record, 4.17 ms, and twice that 8.33 ms.
TEST(UpdateLogTest, OnlyAPaceOverTwiceTheLinesOwnIsPutDownToTheAdapter) {
    const std::string adapter =
        "The adapter holds received bytes (for example an FTDI adapter's latency timer): see \"Setting a USB "
        "adapter's latency timer\" in the service guide to set it to 1 ms.";
    const struct {
        ULONGLONG ms;
        std::vector<std::string> lines;
    } rows[] = {
        {8300, {"Blackfin pace: 1,000 records in 8.30 s, 8.3 ms a record; the line's own pace at 115200 baud: 4.2 "
                "ms a record"}},
        {8400,
         {"Blackfin pace: 1,000 records in 8.40 s, 8.4 ms a record; the line's own pace at 115200 baud: 4.2 "
          "ms a record",
          adapter}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(UpdateLog::paceLines(1000, row.ms, 1000, 47000, 115200), row.lines) << row.ms << " ms";
    }
}

}  // namespace
