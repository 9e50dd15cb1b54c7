#include "rollup_share.h"

#include <atomic>
#include <cstdint>

#include "store_days.h"

namespace tally {
namespace server {
namespace {

std::atomic<bool> g_counting{true};

}  // namespace

void CountRollupsForBenchmark(bool on) {
    g_counting = on;
}

bool RollupsCounted() {
    return g_counting.load(std::memory_order_relaxed);
}

namespace {

void Add(RollupDeltas* deltas, std::string_view day, std::string_view appVersion,
         std::string_view measure, std::string_view key, int64_t sign) {
    const auto cell = std::make_tuple(day, appVersion, measure, key);
    const auto found = deltas->find(cell);
    if (found != deltas->end()) {
        found->second += sign;
    } else {
        deltas->emplace(RollupCell(day, appVersion, measure, key), sign);
    }
}

}  // namespace

void AddEventShare(const std::string& appVersion, const std::string& installId,
                   const collector::UploadEvent& event, int64_t sign, RollupDeltas* deltas,
                   InstallationDays* installations) {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    // The event's own day, not its batch's: a batch sent late still counts
    // each event on the day it happened. The events of a batch mostly share
    // a day, so its text is made once.
    thread_local int64_t lastDay = INT64_MIN;
    thread_local std::string lastText;
    const int64_t dayNumber = DayOf(event.receivedMs);
    if (dayNumber != lastDay) {
        lastText = DayText(dayNumber);
        lastDay = dayNumber;
    }
    const std::string_view day = lastText;
    Add(deltas, day, appVersion, "events", event.name, sign);
    for (const auto& key : event.rollupKeys) {
        Add(deltas, day, appVersion, key.first, key.second, sign);
    }
    if (installations != nullptr && !installId.empty()) {
        const auto reported =
            std::make_tuple(day, std::string_view(appVersion), std::string_view(installId));
        if (installations->find(reported) == installations->end()) {
            installations->emplace(day, appVersion, installId);
        }
    }
}

void AddStoredEventShare(const std::string& appVersion, const std::string& installId,
                         const std::string& name, int64_t receivedMs, std::string_view payload,
                         int64_t sign, RollupDeltas* deltas, InstallationDays* installations) {
    collector::UploadEvent event;
    event.name = name;
    event.receivedMs = receivedMs;
    event.rollupKeys = collector::RollupKeysOf(name, payload);
    AddEventShare(appVersion, installId, event, sign, deltas, installations);
}

bool RollupBounds(const RollupQuery& query, std::string* fromDay, std::string* toDay,
                  std::string* error) {
    auto valid = [](const std::string& day) {
        if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
        for (size_t i = 0; i < day.size(); ++i) {
            if (i != 4 && i != 7 && (day[i] < '0' || day[i] > '9')) return false;
        }
        const int month = std::stoi(day.substr(5, 2)), date = std::stoi(day.substr(8, 2));
        return day.compare(0, 4, "0000") != 0 && month >= 1 && month <= 12 && date >= 1 &&
               date <= 31;
    };
    *fromDay = query.fromDay.empty() ? "0001-01-01" : query.fromDay;
    *toDay = query.toDay.empty() ? "9999-12-31" : query.toDay;
    if (!valid(*fromDay) || !valid(*toDay)) {
        *error = "a rollup day must be YYYY-MM-DD";
        return false;
    }
    return true;
}

}  // namespace server
}  // namespace tally
