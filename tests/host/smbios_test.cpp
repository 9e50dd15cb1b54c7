#include "host/smbios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tally {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kUuid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Bytes kNull(16, 0);

// Structure data built one structure at a time.
class TableBuilder {
  public:
    // A structure with `formatted` after its 4-byte header and the given
    // strings (none: the empty set, two NULs).
    TableBuilder& Add(uint8_t type, const Bytes& formatted,
                      const std::vector<std::string>& strings = {}) {
        m_data.push_back(type);
        m_data.push_back(static_cast<uint8_t>(4 + formatted.size()));
        m_data.push_back(0x34);  // handle
        m_data.push_back(0x12);
        m_data.insert(m_data.end(), formatted.begin(), formatted.end());
        for (const std::string& text : strings) {
            m_data.insert(m_data.end(), text.begin(), text.end());
            m_data.push_back(0);
        }
        if (strings.empty()) m_data.push_back(0);
        m_data.push_back(0);
        return *this;
    }
    // A System Information structure of the given formatted length (at least
    // 4) holding `uuid` at offset 8 as far as the length reaches.
    TableBuilder& AddSystem(uint8_t formattedLength, const Bytes& uuid) {
        Bytes formatted(formattedLength - 4, 0x01);
        for (size_t i = 0; i < 16 && 4 + i < formatted.size(); ++i) formatted[4 + i] = uuid[i];
        return Add(1, formatted, {"Maker", "Model"});
    }
    TableBuilder& Raw(const Bytes& bytes) {
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const Bytes& Data() const { return m_data; }

  private:
    Bytes m_data;
};

// The RawSMBIOSData form: a header (SMBIOS 3.4, with `declared` as the data's
// length; by default the true one), then the data.
Bytes Wrap(const Bytes& data, int64_t declared = -1) {
    if (declared < 0) declared = static_cast<int64_t>(data.size());
    Bytes raw(8 + data.size(), 0);
    raw[1] = 3;
    raw[2] = 4;
    for (int i = 0; i < 4; ++i) raw[4 + i] = static_cast<uint8_t>(declared >> (8 * i));
    std::copy(data.begin(), data.end(), raw.begin() + 8);
    return raw;
}

// Walks a copy in an allocation of exactly its size, so that a sanitizer
// reports any read past it.
Bytes UuidOf(const Bytes& raw) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[raw.size() + 1]);
    uint8_t* start = exact.get() + 1;  // never the null pointer, even when empty
    if (!raw.empty()) std::memcpy(start, raw.data(), raw.size());
    const SmbiosInfo info(start, raw.size());
    return Bytes(info.SystemUuid, info.SystemUuid + 16);
}

TEST(SmbiosInfo, KeepsTheLastSystemUuidInFirmwareByteOrder) {
    TableBuilder table;
    table.Add(0, Bytes(0x14, 0), {"Vendor", "1.0"}).AddSystem(0x1B, kUuid).Add(127, {});
    EXPECT_EQ(kUuid, UuidOf(Wrap(table.Data())));

    // SMBIOS 2.0 structures end before the UUID.
    EXPECT_EQ(kNull, UuidOf(Wrap(TableBuilder().AddSystem(8, kUuid).Add(127, {}).Data())));
    EXPECT_EQ(kUuid, UuidOf(Wrap(TableBuilder().AddSystem(0x19, kUuid).Add(127, {}).Data())));

    // The last System Information structure wins, and an end-of-table
    // structure in the middle does not stop the walk; an empty string set
    // (two NULs) is stepped over.
    Bytes second = kUuid;
    second[0] = 0xEE;
    TableBuilder two;
    two.AddSystem(0x19, kUuid).Add(3, Bytes(4, 0)).Add(127, {}).AddSystem(0x19, second);
    EXPECT_EQ(second, UuidOf(Wrap(two.Data())));
}

TEST(SmbiosInfo, StaysInsideMissingAndMalformedTables) {
    // Shorter than a header: every prefix of a table, below.
    EXPECT_EQ(kNull, UuidOf(Wrap({})));
    EXPECT_EQ(kNull, UuidOf(Wrap({1})));
    const SmbiosInfo fromNull(nullptr, 100);
    EXPECT_EQ(kNull, Bytes(fromNull.SystemUuid, fromNull.SystemUuid + 16));

    const Bytes good = TableBuilder().AddSystem(0x19, kUuid).Data();

    // A header length past the delivered bytes: what was delivered counts.
    EXPECT_EQ(kUuid, UuidOf(Wrap(good, 0xFFFFFFFF)));
    // A header length shorter than the data: nothing past it is read.
    EXPECT_EQ(kNull, UuidOf(Wrap(good, 0x10)));

    // A System Information structure cut inside its UUID is ignored and the
    // earlier UUID stays.
    Bytes second = kUuid;
    second[15] = 0x01;
    Bytes cut = TableBuilder().AddSystem(0x19, kUuid).AddSystem(0x19, second).Data();
    cut.resize(good.size() + 20);
    EXPECT_EQ(kUuid, UuidOf(Wrap(cut)));

    // A formatted length pointing far past the data, and a string set that
    // is never closed.
    EXPECT_EQ(kUuid, UuidOf(Wrap(TableBuilder().Raw(good).Raw({2, 0xFF, 0, 0}).Data())));
    EXPECT_EQ(kUuid,
              UuidOf(Wrap(TableBuilder().Raw(good).Raw({2, 4, 0, 0, 'a', 'b', 0, 'c'}).Data())));
    // Zero formatted lengths still make progress.
    EXPECT_EQ(kNull, UuidOf(Wrap(Bytes(64, 0))));

    // Every prefix of a real-looking table, with the header telling the full
    // length: the UUID is read exactly when all 16 of its bytes arrived.
    TableBuilder table;
    table.Add(0, Bytes(0x14, 0), {"Vendor"}).AddSystem(0x19, kUuid).Add(127, {});
    const Bytes raw = Wrap(table.Data());
    const size_t uuidEnd = 8 + (4 + 0x14 + 8) + 0x18;
    for (size_t size = 0; size <= raw.size(); ++size) {
        const Bytes prefix(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(size >= uuidEnd ? kUuid : kNull, UuidOf(prefix)) << size;
    }
}

}  // namespace
}  // namespace tally
