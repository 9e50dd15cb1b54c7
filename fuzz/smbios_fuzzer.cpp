// Feeds arbitrary bytes to the SMBIOS walk, as the raw table and again with
// the header's length set to what was delivered (so that most inputs reach
// the structures). Whatever the walk keeps must be 16 bytes of the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/smbios.h"

namespace {

void CheckUuidCameFromInput(const tally::SmbiosInfo& info, const uint8_t* data, size_t size) {
    static const uint8_t kNull[16] = {};
    if (std::memcmp(info.SystemUuid, kNull, 16) == 0) return;
    for (size_t at = 8; at + 16 <= size; ++at) {
        if (std::memcmp(info.SystemUuid, data + at, 16) == 0) return;
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input buffer has exactly `size` bytes, so reading past it trips
    // AddressSanitizer.
    const tally::SmbiosInfo asGiven(data, size);
    CheckUuidCameFromInput(asGiven, data, size);

    if (size >= 8) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
        std::memcpy(copy.get(), data, size);
        const uint32_t length = static_cast<uint32_t>(size - 8);
        copy[4] = static_cast<uint8_t>(length);
        copy[5] = static_cast<uint8_t>(length >> 8);
        copy[6] = static_cast<uint8_t>(length >> 16);
        copy[7] = static_cast<uint8_t>(length >> 24);
        const tally::SmbiosInfo exact(copy.get(), size);
        CheckUuidCameFromInput(exact, copy.get(), size);
    }
    return 0;
}
