// The uploader: picks what waits in the store, sends it through an
// HttpClient and records the answer. Step() does one round on the calling
// thread; UploadThread runs the rounds on the library's upload thread, the
// only thread that touches the network. The store is changed only through
// UploadStoreAccess (the library's own connection, under its lock); the
// event text of a request is read on a connection of the uploader's own, so
// that building a large body never holds up ReportOnEvent.
#ifndef TALLYSERVICE_ANALYTICS_UPLOAD_UPLOADER_H_
#define TALLYSERVICE_ANALYTICS_UPLOAD_UPLOADER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "event_store.h"
#include "library_log.h"
#include "upload/http_client.h"
#include "upload/upload_policy.h"

struct sqlite3;

namespace tally {

// The version the User-Agent names.
constexpr const char kLibraryVersion[] = "1.0";

// Where the uploader writes: the library's store, or a test's.
class UploadStoreAccess {
  public:
    virtual ~UploadStoreAccess() = default;
    virtual WriteStatus Pick(const UploadTuning& tuning, PickedRequest* picked, bool* found,
                             std::string* error) = 0;
    virtual WriteStatus Finish(const std::string& requestId, const RequestEnd& end,
                               RequestEndOutcome* outcome, std::string* error) = 0;
    // False while the user has opted out: nothing but deletion requests is
    // sent.
    virtual bool Consented() = 0;
    virtual WriteStatus PickDeletion(PendingDeletion* deletion, bool* found,
                                     std::string* error) = 0;
    virtual WriteStatus FinishDeletion(int64_t id, const DeletionEnd& end, std::string* error) = 0;
};

struct UploadClocks {
    std::function<int64_t()> wallMs;    // ms since 1970 UTC, for the record
    std::function<int64_t()> steadyMs;  // for every deadline
    std::function<uint64_t()> random;   // for the jitter
};

// The paths under the domain: uploads, and requests to delete an
// installation's data.
constexpr const char kBatchesPath[] = "/v1/batches";
constexpr const char kDeletionsPath[] = "/v1/deletions";

struct UploadSettings {
    std::string url;  // <domain>/v1/batches; deletion requests go to <domain>/v1/deletions
    std::string dbPath;
    Identity identity;
    UploadTuning tuning;
    TlsSettings tls;
    // Makes the platform's client (again after a cancelled request).
    std::function<std::unique_ptr<HttpClient>(const TlsSettings&)> makeClient;
};

// The URL requests go to, or empty with `why` set when the domain names no
// server ("https://" alone), is not https (unless `allowPlainHttp`), or is
// malformed.
std::string UploadUrl(const std::string& domain, bool allowPlainHttp, std::string* why);

// gzip (RFC 1952) of `data`; false on a zlib failure.
bool Gzip(const std::string& data, std::string* out);

class Uploader {
  public:
    // Step's answer when nothing waits: only a wake brings the next round.
    static constexpr int64_t kIdle = std::numeric_limits<int64_t>::max();

    // `log` must outlive the uploader (the library's log is never destroyed).
    Uploader(UploadSettings settings, UploadClocks clocks,
             std::shared_ptr<UploadStoreAccess> access, LibraryLog* log);
    ~Uploader();
    Uploader(const Uploader&) = delete;
    Uploader& operator=(const Uploader&) = delete;

    // One round: sends one request when one waits and the schedule allows, a
    // deletion request before any batch. Answers the steady time of the next
    // round, or kIdle.
    int64_t Step();
    // From any thread: abandons the request in flight (it stays "sending").
    void Cancel();
    const UploadSchedule& Schedule() const { return m_schedule; }

  private:
    bool BuildBody(const PickedRequest& picked, std::string* json, int64_t* events,
                   std::string* error);
    // The batches' part of a round.
    int64_t SendBatches(int64_t now);
    // The deletions' part: answers true when it sent nothing, with `next`
    // the steady time a waiting request is due (kIdle: none waits).
    bool SendDeletion(int64_t now, int64_t* next);
    // The headers both kinds of request carry.
    HttpRequest MakeRequest(const std::string& url, const std::string& key, int64_t attempts,
                            int64_t wallMs) const;
    // Sends `request`; a cancel makes a fresh client and answers false.
    bool Send(const HttpRequest& request, HttpResult* result);
    std::shared_ptr<HttpClient> Client();

    UploadSettings m_settings;
    UploadClocks m_clocks;
    std::shared_ptr<UploadStoreAccess> m_access;
    LibraryLog* m_log;
    UploadSchedule m_schedule;
    // Deletion requests back off on their own, so that a server without
    // their endpoint (404, the longest wait) never holds up the uploads.
    UploadSchedule m_deletionSchedule;
    std::string m_deletionUrl;
    sqlite3* m_readDb = nullptr;
    bool m_resumed = false;  // the backoff count was taken from the store
    bool m_deletionResumed = false;
    int m_lastLoggedDeletionStatus = -1;
    bool m_blocked = false;  // the trust files cannot be used: nothing until Init
    int m_lastLoggedStatus = -1;
    std::mutex m_clientMutex;
    std::shared_ptr<HttpClient> m_client;  // guarded by m_clientMutex
};

// Runs an Uploader's rounds on a thread of its own. Wake() from ReportOnSubmit
// never waits; Stop() waits a bounded time, then lets the thread finish on
// its own (it holds everything it uses).
class UploadThread {
  public:
    explicit UploadThread(std::unique_ptr<Uploader> uploader);
    ~UploadThread();  // Stop(kForever)
    UploadThread(const UploadThread&) = delete;
    UploadThread& operator=(const UploadThread&) = delete;

    void Wake();
    void Cancel();
    // Stops the rounds and cancels the request in flight; waits at most
    // `limitMs` (negative: without bound). Answers whether the thread ended.
    bool Stop(int64_t limitMs);

  private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        bool stop = false;
        bool woken = true;  // the first round looks for a backlog
        bool done = false;
        std::unique_ptr<Uploader> uploader;
    };
    static void Main(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace tally

#endif  // TALLYSERVICE_ANALYTICS_UPLOAD_UPLOADER_H_
