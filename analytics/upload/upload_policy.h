// What the uploader makes of an answer, and when it may send next: the
// classification of outcomes, the backoff, Retry-After and the pacing. No
// clock, no randomness and no I/O of its own, so that every rule can be
// checked with a fake clock.
#ifndef TALLYSERVICE_ANALYTICS_UPLOAD_UPLOAD_POLICY_H_
#define TALLYSERVICE_ANALYTICS_UPLOAD_UPLOAD_POLICY_H_

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "upload/http_client.h"

namespace tally {

// The schedule's numbers; the defaults are the product's, tests shorten them
// through the environment (see UploadTuningFromEnvironment).
struct UploadTuning {
    int64_t backoffBaseMs = 30 * 1000;      // the first wait after a failure
    int64_t backoffCapMs = 30 * 60 * 1000;  // the longest wait
    int64_t paceMs = 1000;                  // between two requests; 0: no pacing
    int64_t requestsPerMinute = 15;         // rolling; only while paceMs > 0
    int64_t timeoutMs = 30 * 1000;          // one whole request
    int64_t connectTimeoutMs = 10 * 1000;
    int64_t poisonAttempts = 10;  // 5xx answers before a request is split
    // Batches in one request (and at most 500 events / 1 MiB of event text,
    // the caps of one batch). Fewer requests drain a backlog sooner: each
    // costs a round trip, the server's chain check and two transactions.
    int64_t requestBatches = 50;
};

// The batch cap of the first collectors. A collector that answers 413 to a
// larger request is sent at most this many from then on in the session.
constexpr int64_t kOlderServerRequestBatches = 20;

// Environment knobs, read at each ReportInit.
constexpr const char kEnvUpload[] = "TALLY_UPLOAD";
constexpr const char kEnvUploadBackoffMs[] = "TALLY_UPLOAD_BACKOFF_MS";
constexpr const char kEnvUploadTimeoutMs[] = "TALLY_UPLOAD_TIMEOUT_MS";
constexpr const char kEnvUploadPaceMs[] = "TALLY_UPLOAD_PACE_MS";
constexpr const char kEnvUploadAllowHttp[] = "TALLY_UPLOAD_ALLOW_HTTP";

struct UploadKnobs {
    bool enabled = true;
    bool allowPlainHttp = false;
    UploadTuning tuning;
};

// The knobs from the environment; one that does not parse keeps its default
// and adds a line to `warnings`.
UploadKnobs UploadKnobsFromEnvironment(std::vector<std::string>* warnings);

// What one request's end means.
enum class Verdict {
    Accepted,   // 2xx: the batches are delivered
    Split,      // refused as a whole: one request per batch, at once (paced)
    Rejected,   // the one batch is bad data: drop it
    Retry,      // no answer or a transient refusal: keep, back off
    Misconfig,  // 3xx, 401, 403, 404, other 4xx: keep, wait the longest
    TlsFailed,  // the server is not trusted: keep, wait the longest
    TlsConfig,  // our CA or key file cannot be used: send nothing until re-initialised
    Cancelled,  // stopped by us: keep, the request stays as it is
};

const char* VerdictName(Verdict verdict);

// `batches`: batches in the request; `attemptsBefore`: attempts the request
// already had. A request refused with 5xx for the poisonAttempts-th time is
// split so that one bad batch cannot hold up the rest.
Verdict Classify(const HttpResult& result, size_t batches, int64_t attemptsBefore,
                 const UploadTuning& tuning);

// Retry-After as delta-seconds (digits only, blanks around allowed), clamped
// to [1 s, 24 h]. Answers false for anything else, an HTTP-date included:
// honouring a date would mean trusting the device's clock.
bool ParseRetryAfter(const std::string& text, int64_t* seconds);

// The wait after `failures` consecutive failures (>= 1): d = base x
// 2^(failures-1), at most the cap, then uniform in [d/2, d] by `random`.
int64_t BackoffMs(int64_t failures, const UploadTuning& tuning, uint64_t random);

// The schedule of one uploader: when the next request may start.
class UploadSchedule {
  public:
    UploadSchedule(UploadTuning tuning, std::function<uint64_t()> random);

    // The earliest steady time (ms) at which a request may start.
    int64_t NextStart() const;
    // A restart during a backoff: the stored wall-time floor, as a delay.
    void Postpone(int64_t untilSteadyMs);
    // A new session continues the count of the request it resends.
    void Resume(int64_t failures) { m_failures = std::max(m_failures, failures); }
    void Started(int64_t nowMs);
    // After a request ended at `nowMs`: sets the floor. Answers the wait in
    // ms (0 when none beyond pacing) and, in `note`, why.
    int64_t Ended(Verdict verdict, const HttpResult& result, int64_t nowMs, std::string* note);
    int64_t Failures() const { return m_failures; }

  private:
    UploadTuning m_tuning;
    std::function<uint64_t()> m_random;
    int64_t m_failures = 0;
    int64_t m_floorMs = 0;               // backoff: no request before this
    std::deque<int64_t> m_recentStarts;  // within the last minute
};

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_UPLOAD_UPLOAD_POLICY_H_
