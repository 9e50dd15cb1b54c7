// The machine's SMBIOS facts: the firmware's system UUID.
#ifndef TALLYSERVICE_SRC_HOST_SMBIOS_H_
#define TALLYSERVICE_SRC_HOST_SMBIOS_H_

#include <cstddef>
#include <cstdint>

namespace tally {

// A passive value holder: construction reads and walks the raw SMBIOS table,
// afterwards the object is only read (from any thread, without a lock).
class SmbiosInfo {
  public:
    // Fetches the table from the platform once and walks it. A table that
    // cannot be had leaves the null GUID. Never throws.
    SmbiosInfo();

    // Walks a raw table given in the RawSMBIOSData layout: an 8-byte header
    // whose bytes 4-7 hold the little-endian length of the structure data,
    // then the data. Never reads outside [raw, raw + size), whatever the
    // header length, the formatted lengths or the string sets say:
    // - a header length past the delivered bytes is cut to them;
    // - a type 1 structure whose 16 UUID bytes would run past the data is
    //   ignored (an earlier UUID, or the null GUID, stays);
    // - a formatted area or a string set running past the data ends the walk.
    SmbiosInfo(const uint8_t* raw, size_t size);

    // The system UUID of the last type 1 structure with a formatted length
    // greater than 8, in the firmware's byte order; all zero when none.
    uint8_t SystemUuid[16] = {};

  private:
    void Walk(const uint8_t* raw, size_t size);
};

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_SMBIOS_H_
