// The day a batch belongs to, by the client's clock. Both stores key
// retention on it, and PostgreSQL partitions and deduplicates by it, so it
// must be a pure function of the batch: a resend arriving on another day, at
// another collector, lands on the same day.
#ifndef TALLYSERVICE_SERVER_STORE_STORE_DAYS_H_
#define TALLYSERVICE_SERVER_STORE_STORE_DAYS_H_

#include <cstdint>
#include <string>

namespace tally {
namespace server {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 (UTC) of a time in ms, clamped to the years 1 to
// 9999: a client's clock may say anything, and every day must still be a
// date each store can hold.
int64_t DayOf(int64_t ms);

// "YYYY-MM-DD" of a day number.
std::string DayText(int64_t day);

}  // namespace server
}  // namespace tally

#endif  // TALLYSERVICE_SERVER_STORE_STORE_DAYS_H_
