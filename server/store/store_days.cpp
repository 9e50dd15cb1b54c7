#include "store_days.h"

#include <algorithm>
#include <cstdio>

namespace tally {
namespace server {
namespace {

constexpr int64_t kFirstDay = -719162;  // 0001-01-01
constexpr int64_t kLastDay = 2932896;   // 9999-12-31

}  // namespace

int64_t DayOf(int64_t ms) {
    // Floor, not truncation: a clock before 1970 is still a day before it.
    int64_t day = ms / kMsPerDay;
    if (ms % kMsPerDay < 0) --day;
    return std::clamp(day, kFirstDay, kLastDay);
}

std::string DayText(int64_t day) {
    // Civil date from a day count (proleptic Gregorian calendar).
    const int64_t z = day + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d));
    return text;
}

}  // namespace server
}  // namespace tally
