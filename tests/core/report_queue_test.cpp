// The event queue on its own, as a host program uses it: compiled against the
// public header alone and linked with the service library, so every member
// it calls must be exported. Arrival order across its storage chunks, and
// that a drained or cleared backlog leaves the process's resident memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "TallyService.h"
#include "platform/platform.h"

namespace {

ReportData Numbered(int number) {
    ReportData record{};
    std::snprintf(record.eventName, sizeof(record.eventName), "event_%d", number);
    std::snprintf(record.data, sizeof(record.data), "{\"n\":%d}", number);
    return record;
}

// Takes the front record and checks that it is record `number`, whole.
void ExpectFront(ReportQueue& queue, int number) {
    ASSERT_FALSE(queue.empty());
    const ReportData expected = Numbered(number);
    EXPECT_EQ(0, std::memcmp(&expected, &queue.front(), sizeof(ReportData)))
        << "front is " << queue.front().eventName << ", expected " << expected.eventName;
    queue.pop_front();
}

TEST(ReportQueue, KeepsArrivalOrderWhilePartlyDrainedAndRefilled) {
    ReportQueue queue;
    EXPECT_TRUE(queue.empty());
    int pushed = 0;
    int taken = 0;
    // Uneven bursts cross chunk boundaries from both ends, and drain the
    // queue to empty in between, so the spare chunk is reused.
    for (const auto& burst : {std::make_pair(40, 35), std::make_pair(70, 75), std::make_pair(1, 1),
                              std::make_pair(200, 150), std::make_pair(3, 53)}) {
        for (int i = 0; i < burst.first; ++i) queue.push_back(Numbered(pushed++));
        EXPECT_EQ(static_cast<size_t>(pushed - taken), queue.size());
        for (int i = 0; i < burst.second; ++i) ExpectFront(queue, taken++);
        EXPECT_EQ(static_cast<size_t>(pushed - taken), queue.size());
    }
    EXPECT_TRUE(queue.empty());
}

TEST(ReportQueue, ResidentMemoryReturnsOnceABacklogIsDrainedOrCleared) {
    constexpr int kBacklog = 20000;  // 42 MB of records
    constexpr int64_t kMiB = 1024 * 1024;
    const ReportData record = Numbered(7);
    ReportQueue queue;
    const auto resident = [] { return static_cast<int64_t>(platform::ResidentMemoryBytes()); };

    // The host goes on allocating while the backlog grows, and keeps what it
    // allocated: small live blocks among the queue's storage, as in a real
    // process, so that freed storage cannot simply shrink the heap's top.
    std::vector<std::unique_ptr<char[]>> hostBlocks;
    const auto fill = [&] {
        for (int i = 0; i < kBacklog; ++i) {
            queue.push_back(record);
            if (i % 16 == 0) hostBlocks.emplace_back(new char[64]());
        }
    };

    const int64_t before = resident();
    ASSERT_GT(before, 0);
    fill();
    const int64_t full = resident();
    for (int i = 0; i < kBacklog; ++i) queue.pop_front();
    const int64_t drained = resident();
    fill();
    queue.clear();
    const int64_t cleared = resident();
    std::printf("resident MiB: before %.1f, backlog %.1f, drained %.1f, cleared %.1f\n",
                double(before) / kMiB, double(full) / kMiB, double(drained) / kMiB,
                double(cleared) / kMiB);

    EXPECT_GT(full - before, 40 * kMiB);
    EXPECT_LT(drained - before, 4 * kMiB) << "a drained backlog stays in the process";
    EXPECT_LT(cleared - before, 4 * kMiB) << "a cleared backlog stays in the process";
    EXPECT_TRUE(queue.empty());
    // Still usable afterwards.
    queue.push_back(Numbered(1));
    queue.push_back(Numbered(2));
    ExpectFront(queue, 1);
    ExpectFront(queue, 2);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
