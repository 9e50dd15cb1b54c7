#include "host/device_uuid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace tally {
namespace {

TEST(DeviceUuid, FormatsTheGuidFieldsLittleEndian) {
    const uint8_t bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(L"33221100-5544-7766-8899-AABBCCDDEEFF", FormatDeviceUuid(bytes));
    EXPECT_EQ(L"{33221100-5544-7766-8899-AABBCCDDEEFF}", platform::FormatGuid(bytes));
    const uint8_t null[16] = {};
    EXPECT_EQ(L"00000000-0000-0000-0000-000000000000", FormatDeviceUuid(null));
}

TEST(DeviceUuid, IsTheSameTextOnEveryThread) {
    // Several first calls at once: the reader is created once and every
    // thread gets the same text.
    constexpr int kThreads = 8;
    std::vector<std::wstring> texts(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&texts, i] { texts[i] = GetDeviceUuid(); });
    }
    for (std::thread& thread : threads) thread.join();
    // Upper-case hexadecimal digits in groups of 8-4-4-4-12.
    std::wstring shape = texts[0];
    for (wchar_t& c : shape) {
        if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) c = L'x';
    }
    EXPECT_EQ(L"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", shape);
    for (const std::wstring& text : texts) EXPECT_EQ(texts[0], text);
    EXPECT_EQ(texts[0], GetDeviceUuid());
}

}  // namespace
}  // namespace tally
