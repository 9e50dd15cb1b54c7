// The report-time ledger: unsigned 64-bit numbers by key in section "main" of
// the product's ini file "<per-user data folder>/log/orvel.ini", and today's
// local date. A missing file, key or value reads 0, which means "never".
// There is no lock of our own: each read and write is one call of the
// platform's profile functions, which serialise access to the file.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>

#include "AmbitWrapper.h"
#include "TallyService.h"
#include "core/clock.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

const wchar_t kLedgerSection[] = L"main";

std::wstring LedgerPath() {
    std::wstring path = AmbitWrapper::GetInstance()->GetAppDataLocalPath();
    path += platform::kPathSeparator;
    path += L"log";
    path += platform::kPathSeparator;
    path += L"orvel.ini";
    return path;
}

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Parses decimal text the way wcstoll does with base 10: leading white space,
// one optional sign, digits up to the first non-digit; no digits give 0, and
// a value out of range saturates at the nearest limit.
template <typename Char>
int64_t ParseInt64(const Char* text, size_t size) {
    size_t i = 0;
    while (i < size && IsSpace(static_cast<wchar_t>(text[i]))) ++i;
    bool negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude as unsigned; the negative limit's magnitude is
    // one more than the positive one's.
    const uint64_t limit = negative ? uint64_t{1} << 63 : std::numeric_limits<int64_t>::max();
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (overflow || magnitude > (limit - digit) / 10) {
            overflow = true;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (overflow) magnitude = limit;
    if (!negative) return static_cast<int64_t>(magnitude);
    // -(2^63) has no positive counterpart; negate in unsigned arithmetic.
    return static_cast<int64_t>(~magnitude + 1);
}

}  // namespace

uint64_t TallyService::GetCurrentDate() {
    tally::Clock& clock = tally::CurrentClock();
    platform::CalendarTime local;
    if (!clock.ToLocalCalendar(clock.SystemFileTime(), &local)) local = platform::CalendarTime();

    // "%4d" pads a failed conversion's year 0 to three blanks and a zero,
    // which the parse below reads as 0.
    char buffer[10];
    const int written =
        std::snprintf(buffer, sizeof(buffer), "%4d%02d%02d", static_cast<int>(local.year),
                      static_cast<int>(local.month), static_cast<int>(local.day));
    if (written < 0 || static_cast<size_t>(written) >= sizeof(buffer)) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::GetCurrentDate",
                  "copy current date to array failed.");
        return 0;
    }
    return static_cast<uint64_t>(ParseInt64(buffer, static_cast<size_t>(written)));
}

uint64_t TallyService::GetLastReportTime(std::wstring key) {
    try {
        if (key.empty()) return 0;
        // Reading never creates the file: the profile reader does not, and a
        // missing file reads as an empty value. So no separate existence
        // check, which would look the path up a second time on every call.
        const std::wstring value = platform::ReadIniValue(LedgerPath(), kLedgerSection, key);
        if (value.empty()) return 0;
        // Negative text wraps, as it always has: the callers compare dates for
        // equality and times by unsigned difference.
        return static_cast<uint64_t>(ParseInt64(value.data(), value.size()));
    } catch (const std::exception&) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::GetLastReportTime",
                  "get report time from ini file exception");
    } catch (...) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::GetLastReportTime",
                  "get report time from ini file unknown exception");
    }
    return 0;
}

void TallyService::SetLastReportTime(std::wstring key, uint64_t value) {
    try {
        if (key.empty()) return;
        // The writer creates the file and the section but never the folder.
        // A failed write is not an error: the report concerned is made again.
        platform::WriteIniValue(LedgerPath(), kLedgerSection, key, std::to_wstring(value));
    } catch (const std::exception&) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::SetLastReportTime",
                  "set report time to ini file exception");
    } catch (...) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::SetLastReportTime",
                  "set report time to ini file unknown exception");
    }
}
