// System facts on Linux: the kernel's name, the firmware's SMBIOS table and
// GUID formatting.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr char kDmiTablePath[] = "/sys/firmware/dmi/tables/DMI";
constexpr char kEntryPointPath[] = "/sys/firmware/dmi/tables/smbios_entry_point";
constexpr size_t kRawHeaderSize = 8;
// The header's length field is 32 bits wide; real tables are a few KiB.
constexpr size_t kMaxTableSize = 16 * 1024 * 1024;

// Reads a whole file of at most `limit` bytes; false when it cannot be read,
// is empty or is larger.
bool ReadSmallFile(const char* path, size_t limit, std::string* out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char chunk[4096];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        out->append(chunk, static_cast<size_t>(got));
        if (out->size() > limit) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok && !out->empty();
}

// Fills the version bytes of the RawSMBIOSData header from the entry point
// structure ("_SM_" for 2.x, "_SM3_" for 3.x); they stay zero where it cannot
// be read. Nothing downstream depends on them.
void FillVersion(uint8_t header[kRawHeaderSize]) {
    std::string entry;
    if (!ReadSmallFile(kEntryPointPath, 4096, &entry)) return;
    const auto byte = [&entry](size_t at) { return static_cast<uint8_t>(entry[at]); };
    if (entry.size() >= 0x18 && entry.compare(0, 5, "_SM3_") == 0) {
        header[1] = byte(0x07);
        header[2] = byte(0x08);
        header[3] = byte(0x09);
    } else if (entry.size() >= 0x1F && entry.compare(0, 4, "_SM_") == 0) {
        header[1] = byte(0x06);
        header[2] = byte(0x07);
        header[3] = byte(0x1E);  // BCD revision of the intermediate entry point
    }
}

void AppendHex(uint32_t value, int digits, std::wstring* out) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out->push_back(kDigits[(value >> shift) & 0xF]);
    }
}

}  // namespace

OsVersionFacts QueryOsVersion() {
    OsVersionFacts facts;
    struct utsname names;
    if (uname(&names) != 0) return facts;
    std::string name = names.sysname;
    name += ' ';
    name += names.release;
    facts.otherName = Utf8ToWide(name);
    return facts;
}

bool FetchSmbiosTable(std::unique_ptr<uint8_t[]>* buffer, size_t* size) {
    // The kernel exports the structure data only (to root, usually); wrap it
    // in the header GetSystemFirmwareTable puts before it.
    std::string data;
    if (!ReadSmallFile(kDmiTablePath, kMaxTableSize, &data)) return false;
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[kRawHeaderSize + data.size()]);
    if (!raw) return false;
    std::memset(raw.get(), 0, kRawHeaderSize);
    FillVersion(raw.get());
    const uint32_t length = static_cast<uint32_t>(data.size());
    raw[4] = static_cast<uint8_t>(length);
    raw[5] = static_cast<uint8_t>(length >> 8);
    raw[6] = static_cast<uint8_t>(length >> 16);
    raw[7] = static_cast<uint8_t>(length >> 24);
    std::memcpy(raw.get() + kRawHeaderSize, data.data(), data.size());
    *buffer = std::move(raw);
    *size = kRawHeaderSize + data.size();
    return true;
}

std::wstring FormatGuid(const uint8_t bytes[16]) {
    // The registry form of StringFromGUID2: the first three fields are
    // little-endian numbers, the last eight bytes print in order.
    const uint32_t data1 = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                           static_cast<uint32_t>(bytes[2]) << 16 |
                           static_cast<uint32_t>(bytes[3]) << 24;
    const uint32_t data2 = static_cast<uint32_t>(bytes[4]) | static_cast<uint32_t>(bytes[5]) << 8;
    const uint32_t data3 = static_cast<uint32_t>(bytes[6]) | static_cast<uint32_t>(bytes[7]) << 8;
    std::wstring text;
    text.reserve(38);
    text += L'{';
    AppendHex(data1, 8, &text);
    text += L'-';
    AppendHex(data2, 4, &text);
    text += L'-';
    AppendHex(data3, 4, &text);
    text += L'-';
    AppendHex(bytes[8], 2, &text);
    AppendHex(bytes[9], 2, &text);
    text += L'-';
    for (int i = 10; i < 16; ++i) AppendHex(bytes[i], 2, &text);
    text += L'}';
    return text;
}

}  // namespace platform
