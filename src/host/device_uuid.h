// The machine's identity for reports: the firmware's system UUID as text.
#ifndef TALLYSERVICE_SRC_HOST_DEVICE_UUID_H_
#define TALLYSERVICE_SRC_HOST_DEVICE_UUID_H_

#include <cstdint>
#include <string>

namespace tally {

// The firmware's system UUID as 36 upper-case hexadecimal digits in the
// 8-4-4-4-12 grouping, without braces; the null GUID's text when the firmware
// gives none or its reader cannot be created. The firmware is read once per
// process, by the first call; later calls only format the kept bytes.
// Thread-safe, also during process exit.
std::wstring GetDeviceUuid();

// The text of 16 GUID bytes as GetDeviceUuid answers it: the first field
// little-endian 32-bit, the next two little-endian 16-bit, then 8 bytes in
// order (00 11 22 .. FF gives 33221100-5544-7766-8899-AABBCCDDEEFF).
std::wstring FormatDeviceUuid(const uint8_t bytes[16]);

}  // namespace tally

#endif  // TALLYSERVICE_SRC_HOST_DEVICE_UUID_H_
