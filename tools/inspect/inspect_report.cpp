#include "inspect_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>

#include "store_schema.h"

namespace tally {
namespace inspect {

namespace {

// The service's keys, in the order a person reads them.
const char* const kKnownLedgerKeys[] = {"device_report", "sync_app_report", "hb_report_time",
                                        "connect_report_time"};

// The throttle that an instant key serves: reports of that kind wait this long.
constexpr int64_t kTwelveHoursMs = 12LL * 60 * 60 * 1000;

std::string TimeText(const std::tm& t) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string Meta(const StoreSnapshot& store, const char* key) {
    auto it = store.meta.find(key);
    return it == store.meta.end() ? std::string("?") : it->second;
}

int64_t Counter(const StoreSnapshot& store, const std::string& name) {
    auto it = store.counters.find(name);
    return it == store.counters.end() ? 0 : it->second;
}

std::map<std::string, int64_t> RejectionsByReason(const StoreSnapshot& store) {
    std::map<std::string, int64_t> reasons;
    const std::string prefix = kCounterRejectedPrefix;
    for (const auto& counter : store.counters) {
        if (counter.first.compare(0, prefix.size(), prefix) == 0 && counter.second != 0) {
            reasons[counter.first.substr(prefix.size())] = counter.second;
        }
    }
    return reasons;
}

std::map<std::string, int64_t> CountsByName(const StoreSnapshot& store) {
    std::map<std::string, int64_t> counts;
    for (const EventRow& event : store.events) ++counts[event.name];
    return counts;
}

std::string Pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string Plural(int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A payload as a JSON value; the stored text itself when it does not parse.
Json::Value PayloadValue(const std::string& payload, bool* parsed) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    *parsed = reader->parse(payload.data(), payload.data() + payload.size(), &value, &errors);
    return *parsed ? value : Json::Value(payload);
}

std::string LedgerValueText(const std::string& key, const std::string* raw,
                            const TimeFormatter& formatTime) {
    if (raw == nullptr) return "never";
    uint64_t value = LedgerNumber(*raw);
    std::string text = DecodeLedgerValue(key, value, formatTime);
    if (KindOfLedgerKey(key) == LedgerKind::Instant && value != 0) {
        text += "  (12-hour throttle until " +
                formatTime(static_cast<int64_t>(value) + kTwelveHoursMs) + ")";
    }
    return text;
}

}  // namespace

std::string LocalTimeText(int64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm* local = std::localtime(&seconds);
    return local != nullptr ? TimeText(*local) : std::to_string(ms) + " ms";
}

std::string UtcTimeText(int64_t ms) {
    // Civil date from days since 1970-01-01 (proleptic Gregorian), so that
    // the result does not depend on the C library.
    int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t secondOfDay = seconds - days * 86400;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    std::tm t{};
    t.tm_mday = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.tm_mon = static_cast<int>(mp < 10 ? mp + 2 : mp - 10);
    t.tm_year = static_cast<int>(yearOfEra + era * 400 + (t.tm_mon <= 1 ? 1 : 0) - 1900);
    t.tm_hour = static_cast<int>(secondOfDay / 3600);
    t.tm_min = static_cast<int>(secondOfDay % 3600 / 60);
    t.tm_sec = static_cast<int>(secondOfDay % 60);
    return TimeText(t);
}

LedgerKind KindOfLedgerKey(const std::string& key) {
    if (key == "device_report" || key == "sync_app_report") return LedgerKind::Date;
    if (key == "hb_report_time" || key == "connect_report_time") return LedgerKind::Instant;
    return LedgerKind::Other;
}

std::string DecodeLedgerValue(const std::string& key, uint64_t value,
                              const TimeFormatter& formatTime) {
    if (value == 0) return "never";
    switch (KindOfLedgerKey(key)) {
        case LedgerKind::Date: {
            uint64_t year = value / 10000;
            uint64_t month = value / 100 % 100;
            uint64_t day = value % 100;
            static const int kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
                day > static_cast<uint64_t>(kDaysIn[month - 1])) {
                return "not a date (" + std::to_string(value) + ")";
            }
            char text[16];
            std::snprintf(text, sizeof(text), "%04u-%02u-%02u", static_cast<unsigned>(year),
                          static_cast<unsigned>(month), static_cast<unsigned>(day));
            return text;
        }
        case LedgerKind::Instant:
            if (value > static_cast<uint64_t>(INT64_MAX)) {
                return "not a time (" + std::to_string(value) + ")";
            }
            return formatTime(static_cast<int64_t>(value));
        case LedgerKind::Other:
            break;
    }
    return std::to_string(value);
}

std::string RenderStoreText(const StoreSnapshot& store, const ReportOptions& options,
                            const TimeFormatter& formatTime) {
    std::ostringstream out;
    int64_t bytes = 0;
    int64_t pending = 0;
    for (const EventRow& event : store.events) {
        bytes += event.size;
        if (event.batch == 0) ++pending;
    }
    out << "Analytics database: " << store.path << "\n";
    out << "  schema " << store.schemaVersion << "; appid " << Meta(store, kMetaAppId)
        << ", app version " << Meta(store, kMetaAppVersion) << ", device type "
        << Meta(store, kMetaDeviceType) << ", tag " << Meta(store, kMetaTag) << ", domain "
        << Meta(store, kMetaDomain) << "\n";
    auto installId = store.meta.find(kMetaInstallId);
    out << "  installation id "
        << (installId != store.meta.end() ? installId->second
                                          : std::string("none (retired by an opt-out; made anew "
                                                        "when consent is given)"))
        << "\n";
    std::string opened = Meta(store, kMetaOpenedMs);
    out << "  caps " << Meta(store, kMetaMaxEvents) << " events, " << Meta(store, kMetaMaxBytes)
        << " bytes; last opened "
        << (opened == "?" ? opened : formatTime(std::strtoll(opened.c_str(), nullptr, 10))) << "\n";
    out << "  " << Plural(static_cast<int64_t>(store.events.size()), "event", "events")
        << " stored (" << bytes << " bytes), " << pending << " waiting for a batch\n";

    std::vector<const EventRow*> shown;
    for (const EventRow& event : store.events) {
        if (event.seq > options.afterSeq) shown.push_back(&event);
    }
    out << "\nEvents";
    if (options.afterSeq > 0) out << " after sequence " << options.afterSeq;
    out << "\n";
    if (shown.empty()) {
        out << "  (none)\n";
    } else {
        size_t seqWidth = 3;
        size_t nameWidth = 4;
        for (const EventRow* event : shown) {
            seqWidth = std::max(seqWidth, std::to_string(event->seq).size());
            nameWidth = std::max(nameWidth, event->name.size());
        }
        out << "  " << PadLeft("seq", seqWidth) << "  " << Pad("received", 19) << "  "
            << Pad("name", nameWidth) << "  batch  state\n";
        for (const EventRow* event : shown) {
            out << "  " << PadLeft(std::to_string(event->seq), seqWidth) << "  "
                << Pad(formatTime(event->receivedMs), 19) << "  " << Pad(event->name, nameWidth)
                << "  " << PadLeft(event->batch == 0 ? "-" : std::to_string(event->batch), 5)
                << "  " << event->state << "\n";
        }
    }

    out << "\nEvents per name\n";
    auto counts = CountsByName(store);
    if (counts.empty()) out << "  (none)\n";
    size_t nameWidth = 4;
    for (const auto& count : counts) nameWidth = std::max(nameWidth, count.first.size());
    for (const auto& count : counts) {
        out << "  " << Pad(count.first, nameWidth) << "  " << count.second << "\n";
    }

    auto timeOrDash = [&](int64_t ms) { return ms == 0 ? std::string("-") : formatTime(ms); };
    out << "\nBatches\n";
    if (store.batches.empty()) {
        out << "  (none)\n";
    } else {
        out << "  batch  " << Pad("created", 19)
            << "  sequence       events  stored  state     attempts  status  "
            << Pad("next attempt", 19) << "  sent\n";
        for (const BatchRow& batch : store.batches) {
            out << "  " << PadLeft(std::to_string(batch.id), 5) << "  "
                << Pad(formatTime(batch.createdMs), 19) << "  "
                << Pad(std::to_string(batch.firstSeq) + "-" + std::to_string(batch.lastSeq), 13)
                << "  " << PadLeft(std::to_string(batch.eventCount), 6) << "  "
                << PadLeft(std::to_string(batch.storedEvents), 6) << "  " << Pad(batch.state, 8)
                << "  " << PadLeft(std::to_string(batch.attempts), 8) << "  "
                << PadLeft(batch.lastStatus < 0 ? "-" : std::to_string(batch.lastStatus), 6) << "  "
                << Pad(timeOrDash(batch.nextAttemptMs), 19) << "  " << timeOrDash(batch.sentMs)
                << "\n";
        }
    }

    if (!store.deletions.empty()) {
        out << "\nDeletion requests\n";
        out << "  " << Pad("installation id", 36) << "  " << Pad("requested", 19)
            << "  state     attempts  status  " << Pad("next attempt", 19) << "  finished\n";
        for (const DeletionRow& deletion : store.deletions) {
            out << "  " << Pad(deletion.installId, 36) << "  "
                << Pad(formatTime(deletion.requestedMs), 19) << "  " << Pad(deletion.state, 8)
                << "  " << PadLeft(std::to_string(deletion.attempts), 8) << "  "
                << PadLeft(deletion.lastStatus < 0 ? "-" : std::to_string(deletion.lastStatus), 6)
                << "  " << Pad(timeOrDash(deletion.nextAttemptMs), 19) << "  "
                << timeOrDash(deletion.finishedMs) << "\n";
        }
    }

    out << "\nEvictions: " << Plural(Counter(store, kCounterEvictedEvents), "event", "events")
        << " (" << Counter(store, kCounterEvictedBytes) << " bytes)\n";
    out << "Rejections: " << Counter(store, kCounterRejectedEvents);
    auto reasons = RejectionsByReason(store);
    if (!reasons.empty()) {
        out << " (";
        bool first = true;
        for (const auto& reason : reasons) {
            out << (first ? "" : ", ") << reason.first << " " << reason.second;
            first = false;
        }
        out << ")";
    }
    out << "\n";
    return out.str();
}

std::string RenderEventText(const EventRow& event, const TimeFormatter& formatTime) {
    std::ostringstream out;
    out << "Event " << event.seq << ": " << event.name << ", received "
        << formatTime(event.receivedMs) << ", "
        << (event.batch == 0 ? std::string("no batch") : "batch " + std::to_string(event.batch))
        << ", " << event.state << "\n";
    bool parsed = false;
    Json::Value payload = PayloadValue(event.payload, &parsed);
    out << (parsed ? JsonText(payload) : event.payload + "\n");
    return out.str();
}

std::string RenderLedgerText(const LedgerSnapshot& ledger, const TimeFormatter& formatTime) {
    std::ostringstream out;
    out << "Ledger: " << ledger.path << "\n";
    auto find = [&](const std::string& key) -> const std::string* {
        // The profile functions find the first entry of a key.
        for (const auto& entry : ledger.entries) {
            if (entry.first == key) return &entry.second;
        }
        return nullptr;
    };
    size_t width = 19;
    for (const auto& entry : ledger.entries) width = std::max(width, entry.first.size());
    for (const char* key : kKnownLedgerKeys) {
        out << "  " << Pad(key, width) << "  " << LedgerValueText(key, find(key), formatTime)
            << "\n";
    }
    for (const auto& entry : ledger.entries) {
        if (KindOfLedgerKey(entry.first) != LedgerKind::Other) continue;
        out << "  " << Pad(entry.first, width) << "  " << entry.second << "\n";
    }
    return out.str();
}

Json::Value EventJson(const EventRow& event, const TimeFormatter& formatTime) {
    Json::Value value(Json::objectValue);
    value["seq"] = Json::Int64(event.seq);
    value["received_ms"] = Json::Int64(event.receivedMs);
    value["received"] = formatTime(event.receivedMs);
    value["name"] = event.name;
    value["size"] = Json::Int64(event.size);
    value["batch"] = event.batch == 0 ? Json::Value() : Json::Value(Json::Int64(event.batch));
    value["state"] = event.state;
    bool parsed = false;
    value["payload"] = PayloadValue(event.payload, &parsed);
    return value;
}

Json::Value StoreJson(const StoreSnapshot& store, const TimeFormatter& formatTime) {
    Json::Value value(Json::objectValue);
    value["path"] = store.path;
    value["schema_version"] = Json::Int64(store.schemaVersion);
    Json::Value meta(Json::objectValue);
    for (const auto& entry : store.meta) meta[entry.first] = entry.second;
    value["meta"] = meta;
    Json::Value events(Json::arrayValue);
    int64_t bytes = 0;
    for (const EventRow& event : store.events) {
        events.append(EventJson(event, formatTime));
        bytes += event.size;
    }
    value["stored_events"] = Json::Int64(store.events.size());
    value["stored_bytes"] = Json::Int64(bytes);
    value["events"] = events;
    Json::Value counts(Json::objectValue);
    for (const auto& count : CountsByName(store)) counts[count.first] = Json::Int64(count.second);
    value["counts_by_name"] = counts;
    Json::Value batches(Json::arrayValue);
    for (const BatchRow& batch : store.batches) {
        Json::Value row(Json::objectValue);
        row["id"] = Json::Int64(batch.id);
        row["created_ms"] = Json::Int64(batch.createdMs);
        row["created"] = formatTime(batch.createdMs);
        row["first_seq"] = Json::Int64(batch.firstSeq);
        row["last_seq"] = Json::Int64(batch.lastSeq);
        row["event_count"] = Json::Int64(batch.eventCount);
        row["stored_events"] = Json::Int64(batch.storedEvents);
        row["state"] = batch.state;
        row["attempts"] = Json::Int64(batch.attempts);
        auto optional = [](int64_t value, bool present) {
            return present ? Json::Value(Json::Int64(value)) : Json::Value();
        };
        row["last_status"] = optional(batch.lastStatus, batch.lastStatus >= 0);
        row["next_attempt_ms"] = optional(batch.nextAttemptMs, batch.nextAttemptMs != 0);
        row["sent_ms"] = optional(batch.sentMs, batch.sentMs != 0);
        batches.append(row);
    }
    value["batches"] = batches;
    Json::Value deletions(Json::arrayValue);
    for (const DeletionRow& deletion : store.deletions) {
        Json::Value row(Json::objectValue);
        auto optional = [](int64_t v, bool present) {
            return present ? Json::Value(Json::Int64(v)) : Json::Value();
        };
        row["install_id"] = deletion.installId;
        row["requested_ms"] = Json::Int64(deletion.requestedMs);
        row["state"] = deletion.state;
        row["attempts"] = Json::Int64(deletion.attempts);
        row["last_status"] = optional(deletion.lastStatus, deletion.lastStatus >= 0);
        row["next_attempt_ms"] = optional(deletion.nextAttemptMs, deletion.nextAttemptMs != 0);
        row["finished_ms"] = optional(deletion.finishedMs, deletion.finishedMs != 0);
        deletions.append(row);
    }
    value["deletions"] = deletions;
    Json::Value evictions(Json::objectValue);
    evictions["events"] = Json::Int64(Counter(store, kCounterEvictedEvents));
    evictions["bytes"] = Json::Int64(Counter(store, kCounterEvictedBytes));
    value["evictions"] = evictions;
    Json::Value rejections(Json::objectValue);
    rejections["total"] = Json::Int64(Counter(store, kCounterRejectedEvents));
    Json::Value reasons(Json::objectValue);
    for (const auto& reason : RejectionsByReason(store)) {
        reasons[reason.first] = Json::Int64(reason.second);
    }
    rejections["by_reason"] = reasons;
    value["rejections"] = rejections;
    return value;
}

Json::Value LedgerJson(const LedgerSnapshot& ledger, const TimeFormatter& formatTime) {
    Json::Value value(Json::objectValue);
    value["path"] = ledger.path;
    Json::Value keys(Json::objectValue);
    auto add = [&](const std::string& key, const std::string* raw) {
        Json::Value entry(Json::objectValue);
        uint64_t number = raw == nullptr ? 0 : LedgerNumber(*raw);
        entry["text"] = raw == nullptr ? Json::Value() : Json::Value(*raw);
        entry["value"] = Json::UInt64(number);
        switch (KindOfLedgerKey(key)) {
            case LedgerKind::Date:
                entry["kind"] = "date";
                break;
            case LedgerKind::Instant:
                entry["kind"] = "instant";
                break;
            case LedgerKind::Other:
                entry["kind"] = "other";
                break;
        }
        entry["decoded"] = DecodeLedgerValue(key, number, formatTime);
        keys[key] = entry;
    };
    for (const char* key : kKnownLedgerKeys) {
        const std::string* raw = nullptr;
        for (const auto& entry : ledger.entries) {
            if (entry.first == key) {
                raw = &entry.second;
                break;
            }
        }
        add(key, raw);
    }
    for (const auto& entry : ledger.entries) {
        if (KindOfLedgerKey(entry.first) == LedgerKind::Other && !keys.isMember(entry.first)) {
            add(entry.first, &entry.second);
        }
    }
    value["keys"] = keys;
    return value;
}

std::string JsonText(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, value) + "\n";
}

}  // namespace inspect
}  // namespace tally
