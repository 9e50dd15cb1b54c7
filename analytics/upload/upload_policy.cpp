#include "upload/upload_policy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "store_limits.h"

namespace tally {

namespace {

constexpr int64_t kMinuteMs = 60 * 1000;
constexpr int64_t kMaxRetryAfterS = 24 * 60 * 60;
// A 429 without Retry-After still waits at least this long.
constexpr int64_t kTooManyRequestsMinMs = 60 * 1000;

bool IsBadData(int status) {
    return status == 400 || status == 413 || status == 422;
}

bool IsTransient(int status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

}  // namespace

UploadKnobs UploadKnobsFromEnvironment(std::vector<std::string>* warnings) {
    UploadKnobs knobs;
    auto number = [&](const char* name, int64_t min, int64_t max, int64_t* value) {
        const char* text = std::getenv(name);
        if (text == nullptr) return;
        if (!ParseLimit(text, min, max, value)) {
            warnings->push_back(std::string("ignoring ") + name + "=\"" + text +
                                "\": not a whole number from " + std::to_string(min) + " to " +
                                std::to_string(max));
        }
    };
    int64_t enabled = 1;
    number(kEnvUpload, 0, 1, &enabled);
    knobs.enabled = enabled == 1;
    int64_t allowHttp = 0;
    number(kEnvUploadAllowHttp, 0, 1, &allowHttp);
    knobs.allowPlainHttp = allowHttp == 1;
    number(kEnvUploadTimeoutMs, 100, 600000, &knobs.tuning.timeoutMs);
    knobs.tuning.connectTimeoutMs = std::max<int64_t>(knobs.tuning.timeoutMs / 3, 1);
    number(kEnvUploadPaceMs, 0, 600000, &knobs.tuning.paceMs);
    if (const char* text = std::getenv(kEnvUploadBackoffMs)) {
        std::string value = text;
        size_t comma = value.find(',');
        int64_t base = 0;
        int64_t cap = 0;
        if (comma != std::string::npos &&
            ParseLimit(value.substr(0, comma).c_str(), 1, 86400000, &base) &&
            ParseLimit(value.substr(comma + 1).c_str(), 1, 86400000, &cap) && base <= cap) {
            knobs.tuning.backoffBaseMs = base;
            knobs.tuning.backoffCapMs = cap;
        } else {
            warnings->push_back(std::string("ignoring ") + kEnvUploadBackoffMs + "=\"" + text +
                                "\": not \"first,longest\" in ms");
        }
    }
    return knobs;
}

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Accepted:
            return "accepted";
        case Verdict::Split:
            return "split";
        case Verdict::Rejected:
            return "rejected";
        case Verdict::Retry:
            return "retry";
        case Verdict::Misconfig:
            return "misconfigured";
        case Verdict::TlsFailed:
            return "tls";
        case Verdict::TlsConfig:
            return "tls-config";
        case Verdict::Cancelled:
            return "cancelled";
    }
    return "?";
}

Verdict Classify(const HttpResult& result, size_t batches, int64_t attemptsBefore,
                 const UploadTuning& tuning) {
    using Kind = HttpResult::Kind;
    switch (result.kind) {
        case Kind::Cancelled:
            return Verdict::Cancelled;
        case Kind::TlsConfig:
            return Verdict::TlsConfig;
        case Kind::Tls:
            return Verdict::TlsFailed;
        case Kind::Network:
        case Kind::Timeout:
            return Verdict::Retry;
        case Kind::Ok:
            break;
    }
    int status = result.status;
    if (status >= 200 && status <= 299) return Verdict::Accepted;
    if (IsBadData(status)) return batches > 1 ? Verdict::Split : Verdict::Rejected;
    if (IsTransient(status)) {
        bool poisoned = status >= 500 && attemptsBefore + 1 >= tuning.poisonAttempts;
        return poisoned && batches > 1 ? Verdict::Split : Verdict::Retry;
    }
    return Verdict::Misconfig;
}

bool ParseRetryAfter(const std::string& text, int64_t* seconds) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return false;
    size_t end = text.find_last_not_of(" \t") + 1;
    int64_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isdigit(c)) return false;
        value = std::min<int64_t>(value * 10 + (c - '0'), kMaxRetryAfterS);
    }
    *seconds = std::max<int64_t>(value, 1);
    return true;
}

int64_t BackoffMs(int64_t failures, const UploadTuning& tuning, uint64_t random) {
    int64_t d = tuning.backoffBaseMs;
    for (int64_t i = 1; i < failures && d < tuning.backoffCapMs; ++i) d *= 2;
    d = std::min(d, tuning.backoffCapMs);
    int64_t half = d / 2;
    return half + static_cast<int64_t>(random % static_cast<uint64_t>(d - half + 1));
}

UploadSchedule::UploadSchedule(UploadTuning tuning, std::function<uint64_t()> random)
    : m_tuning(tuning), m_random(std::move(random)) {}

int64_t UploadSchedule::NextStart() const {
    int64_t next = m_floorMs;
    if (m_tuning.paceMs > 0 && !m_recentStarts.empty()) {
        next = std::max(next, m_recentStarts.back() + m_tuning.paceMs);
        if (static_cast<int64_t>(m_recentStarts.size()) >= m_tuning.requestsPerMinute) {
            next = std::max(next, m_recentStarts[m_recentStarts.size() -
                                                 static_cast<size_t>(m_tuning.requestsPerMinute)] +
                                      kMinuteMs);
        }
    }
    return next;
}

void UploadSchedule::Postpone(int64_t untilSteadyMs) {
    m_floorMs = std::max(m_floorMs, untilSteadyMs);
}

void UploadSchedule::Started(int64_t nowMs) {
    if (m_tuning.paceMs <= 0) return;
    m_recentStarts.push_back(nowMs);
    while (!m_recentStarts.empty() && m_recentStarts.front() + kMinuteMs <= nowMs) {
        m_recentStarts.pop_front();
    }
}

int64_t UploadSchedule::Ended(Verdict verdict, const HttpResult& result, int64_t nowMs,
                              std::string* note) {
    note->clear();
    int64_t wait = 0;
    switch (verdict) {
        case Verdict::Accepted:
            m_failures = 0;
            break;
        case Verdict::Split:
        case Verdict::Rejected:
        case Verdict::Cancelled:
        case Verdict::TlsConfig:
            break;
        case Verdict::Misconfig:
        case Verdict::TlsFailed:
            ++m_failures;
            wait = m_tuning.backoffCapMs;
            break;
        case Verdict::Retry: {
            ++m_failures;
            wait = BackoffMs(m_failures, m_tuning, m_random());
            int64_t seconds = 0;
            if (result.kind == HttpResult::Kind::Ok && !result.retryAfter.empty() &&
                ParseRetryAfter(result.retryAfter, &seconds)) {
                wait = seconds * 1000;
                *note = "Retry-After " + std::to_string(seconds);
            } else if (result.kind == HttpResult::Kind::Ok && result.status == 429) {
                wait = std::max(wait, kTooManyRequestsMinMs);
            }
            break;
        }
    }
    m_floorMs = std::max(m_floorMs, nowMs + wait);
    return wait;
}

}  // namespace tally
