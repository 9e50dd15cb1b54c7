// The event queue on its own: arrival order across its storage chunks, and
// that a drained or cleared backlog gives its memory back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "TallyService.h"

// This program counts the bytes that operator new hands out and that sized
// operator delete takes back (every delete of a complete type is sized), so a
// test can see what the queue holds on to. Only the deltas around queue calls
// are read, and nothing else allocates in between.
namespace {
std::atomic<uint64_t> g_allocated{0};
std::atomic<uint64_t> g_freed{0};

int64_t LiveBytes() {
    return static_cast<int64_t>(g_allocated.load()) - static_cast<int64_t>(g_freed.load());
}
}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    g_allocated += size;
    return block;
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t size) noexcept {
    if (block) g_freed += size;
    std::free(block);
}

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

TEST(ReportQueue, GivesMemoryBackWhenDrainedOrCleared) {
    constexpr int kBacklog = 1000;
    const int64_t backlogBytes = kBacklog * static_cast<int64_t>(sizeof(ReportData));
    const ReportData record = Numbered(7);
    ReportQueue queue;

    // Only queue calls between the readings; the checks come afterwards.
    const int64_t empty = LiveBytes();
    for (int i = 0; i < kBacklog; ++i) queue.push_back(record);
    const int64_t full = LiveBytes();
    queue.clear();
    const int64_t cleared = LiveBytes();
    const bool emptyAfterClear = queue.empty();
    // Taking records one by one gives their storage back as it goes; at most
    // a small reserve stays for the next records.
    for (int i = 0; i < kBacklog; ++i) queue.push_back(record);
    for (int i = 0; i < kBacklog / 2; ++i) queue.pop_front();
    const int64_t half = LiveBytes();
    for (int i = 0; i < kBacklog / 2; ++i) queue.pop_front();
    const int64_t drained = LiveBytes();

    EXPECT_GE(full - empty, backlogBytes);
    EXPECT_EQ(empty, cleared) << "clear keeps storage";
    EXPECT_TRUE(emptyAfterClear);
    EXPECT_LT(half - empty, backlogBytes * 6 / 10);
    EXPECT_LE(drained - empty, backlogBytes / 10) << "a drained queue holds on to its backlog";

    // Still usable afterwards.
    queue.push_back(Numbered(1));
    queue.push_back(Numbered(2));
    ExpectFront(queue, 1);
    ExpectFront(queue, 2);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
