#include "host/smbios.h"

#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace tally {
namespace {

constexpr size_t kHeaderSize = 8;          // RawSMBIOSData up to its length field
constexpr uint8_t kSystemInformation = 1;  // structure type holding the UUID
constexpr size_t kUuidOffset = 0x08;
constexpr size_t kUuidSize = 16;

}  // namespace

SmbiosInfo::SmbiosInfo() {
    std::unique_ptr<uint8_t[]> buffer;
    size_t size = 0;
    if (platform::FetchSmbiosTable(&buffer, &size)) Walk(buffer.get(), size);
}

SmbiosInfo::SmbiosInfo(const uint8_t* raw, size_t size) {
    if (raw != nullptr) Walk(raw, size);
}

void SmbiosInfo::Walk(const uint8_t* raw, size_t size) {
    if (size < kHeaderSize) return;
    const size_t declared = static_cast<size_t>(raw[4]) | static_cast<size_t>(raw[5]) << 8 |
                            static_cast<size_t>(raw[6]) << 16 | static_cast<size_t>(raw[7]) << 24;
    const size_t length = declared < size - kHeaderSize ? declared : size - kHeaderSize;
    const uint8_t* data = raw + kHeaderSize;

    // Offsets rather than pointers, so that a length byte pointing far past
    // the data never forms an out-of-range pointer. `last` is the offset of
    // the data's last byte; a structure needs its type and length bytes.
    if (length < 2) return;
    const size_t last = length - 1;
    size_t p = 0;
    for (;;) {
        const uint8_t type = data[p];
        const uint8_t formattedLength = data[p + 1];
        if (type == kSystemInformation && formattedLength > kUuidOffset &&
            p + kUuidOffset + kUuidSize <= length) {
            std::memcpy(SystemUuid, data + p + kUuidOffset, kUuidSize);
        }
        // The string set follows the formatted area and ends with two NULs.
        // The end-of-table structure (type 127) is walked over like any
        // other: the walk runs to the end of the data.
        size_t q = p + formattedLength;
        if (q < last) {
            while (!(data[q] == 0 && data[q + 1] == 0) && q + 1 < last) ++q;
        }
        const size_t next = q + 2;
        if (next >= last) break;
        p = next;
    }
}

}  // namespace tally
