/// \file
/// TallyService: the usage-reporting service that the desktop client loads.
///
/// This is the library's only public header. The host reaches every function
/// of the service through the process-wide singleton TallyService::GetInstance().
/// Nothing reaches the analytics library before EnableImprovement(true).
///
/// Every operation is safe to call from any host thread, concurrently. None
/// of them touches the network, and none runs the analytics library's event
/// or submit entry points on the calling thread: events are queued and handed
/// to the library on the service's own worker thread, never under a lock that
/// a host thread waits for.
/// Costs quoted below are medians (and 99th percentiles) measured on Linux on
/// a 2-core 2.1 GHz machine; docs/performance.md has the method and the Wine
/// figures.
#ifndef TALLYSERVICE_INCLUDE_TALLYSERVICE_H_
#define TALLYSERVICE_INCLUDE_TALLYSERVICE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

/// \def TALLYSERVICE_API
/// Exports the class from the service library and imports it into a host.
/// TALLYSERVICE_BUILD is defined while the service itself is compiled;
/// TALLYSERVICE_STATIC by code that links the service's objects directly (tests).
#if defined(_WIN32)
#if defined(TALLYSERVICE_BUILD)
#define TALLYSERVICE_API __declspec(dllexport)
#elif defined(TALLYSERVICE_STATIC)
#define TALLYSERVICE_API
#else
#define TALLYSERVICE_API __declspec(dllimport)
#endif
#else
#define TALLYSERVICE_API __attribute__((visibility("default")))
#endif

/// One event as it crosses into the analytics library: a NUL-terminated event
/// name and a NUL-terminated compact JSON payload, zero-filled behind each text.
struct ReportData {
    char eventName[64];  ///< The event's name, NUL-terminated.
    char data[2048];     ///< The event's payload: compact JSON, NUL-terminated.
};
static_assert(sizeof(ReportData) == 2112, "ReportData is a binary interface");
static_assert(offsetof(ReportData, data) == 64, "ReportData is a binary interface");

/// Report families; the key of the event-name table.
enum class ReportSource : int32_t {
    Orvel = 0,      ///< Device information of the desktop client.
    SyncDisk = 1,   ///< Device information on days the sync-disk app is in use.
    HeartBeat = 2,  ///< Reconnection after a failed heartbeat.
    P2P = 3         ///< Remote (peer-to-peer) connection.
};

/// Written as "device_type" into the device-information payload.
enum class ReportDeviceType : int32_t {
    SyncApp = 4,       ///< The sync-disk companion app.
    DesktopClient = 7  ///< The desktop client itself.
};

struct ReportConfig;

/// FIFO of ReportData values in arrival order, stored in chunks of pages
/// mapped from the system, so that an append or a take costs the same whatever
/// the backlog, and the memory of a drained backlog leaves the process. Not
/// thread-safe: the service guards it with its queue mutex. Exported because
/// it is the type of one of TallyService's members, whose operations a
/// program compiled against this header may call.
class TALLYSERVICE_API ReportQueue {
  public:
    ReportQueue() = default;
    /// Frees every record and all storage.
    ~ReportQueue();
    ReportQueue(const ReportQueue&) = delete;
    ReportQueue& operator=(const ReportQueue&) = delete;

    /// \return the number of records held.
    size_t size() const { return m_size; }
    /// \return whether no record is held.
    bool empty() const { return m_size == 0; }
    /// \return the oldest record. The queue must not be empty.
    ReportData& front();
    /// Appends a copy of the record. Throws std::bad_alloc when out of memory.
    /// \param record the record to copy.
    void push_back(const ReportData& record);
    /// Removes the oldest record. The queue must not be empty.
    void pop_front();
    /// Removes every record and frees all storage.
    void clear();

  private:
    struct Chunk;
    Chunk* m_head = nullptr;   // oldest chunk; its records start at m_headIndex
    Chunk* m_tail = nullptr;   // newest chunk; holds m_tailCount records
    Chunk* m_spare = nullptr;  // one drained chunk kept to avoid churn in steady state
    size_t m_headIndex = 0;
    size_t m_tailCount = 0;
    size_t m_size = 0;
};

class TallyServiceTestPeer;
class TallyServiceInstance;

/// The usage-reporting service: one process-wide object, reached through
/// GetInstance().
///
/// Threads: every operation may be called from any host thread, at any time,
/// concurrently with the others. The service runs two threads of its own once
/// opted in: the worker, the only thread that hands events to the analytics
/// library, and the daily thread, which makes the device report once a day.
/// They run until the process ends; unloading the library after they started
/// keeps it resident.
///
/// Never: no operation touches the network or waits for the analytics
/// library's deliveries. Failures of files, of the analytics library and of
/// bad input are logged through the host's logging library and absorbed; the
/// exceptions that can reach the host are std::system_error where named below
/// and std::bad_alloc when memory runs out.
class TALLYSERVICE_API TallyService {
  public:
    /// Type of the analytics library's "ReportInit" entry point.
    using ReportInitFn = int32_t (*)(ReportConfig*);
    /// Type of the analytics library's "ReportOnEvent" entry point.
    using ReportOnEventFn = int32_t (*)(ReportData*);
    /// Type of the analytics library's "ReportOnSubmit" entry point.
    using ReportOnSubmitFn = int32_t (*)();
    /// Type of the analytics library's optional "ReportSetConsent" entry point:
    /// the user's consent changed (0 opted out, 1 opted in again).
    using ReportSetConsentFn = int32_t (*)(int32_t);

    /// The process-wide instance, constructed on first use. Never null.
    ///
    /// Thread: any. The first call builds the object and asks the host's
    /// parameter library for the application version; every later call only
    /// returns the pointer. Never starts a thread or reads a file.
    /// \return the service.
    static TallyService* GetInstance();

    /// The user's opt-in.
    ///
    /// true: the first time, loads and initialises the analytics library
    /// (Tally.dll / libTally.so beside the executable; its "ReportInit" runs
    /// on the calling thread), starts the service's two threads, and makes the
    /// day's device report when it is due. false: no new event is queued and
    /// the queued ones are dropped; the threads stay. When the library exports
    /// "ReportSetConsent", false also calls it with 0 on the calling thread
    /// before returning, and the library makes the opt-out durable there: a
    /// normal exit or a kill of the process after this returns cannot bring
    /// back the events stored before it. Reports made while opted out before
    /// the library was first loaded in this process (heartbeat and
    /// peer-to-peer) still wait in the queue and are delivered after a later
    /// opt-in loads it.
    ///
    /// Thread: any; concurrent calls initialise once. Cost: the first true
    /// pays the library load and its initialisation; later calls cost a ledger
    /// read when the day's report was made (about 5 µs), a ledger write and a
    /// payload when it is due (about 100 µs); false costs the queue and the
    /// library's ReportSetConsent(0): with the reference library about 13 µs
    /// median, longer while the library's own thread holds its lock for a
    /// write (docs/performance.md).
    /// Never touches the network.
    /// Throws std::system_error when the system refuses a thread or the lock;
    /// every other failure (a missing library, a failed initialisation) is
    /// logged and leaves the service idle.
    /// \param enable whether the user opted in.
    void EnableImprovement(bool enable);
    /// The host's device identifier; masked before it enters any event.
    ///
    /// Thread: any. Cost: one string copy under a lock held only for it.
    /// Never sends or stores the identifier as given.
    /// \param deviceId the device's identifier, any text.
    void SetDeviceUniqueId(std::string deviceId);
    /// While set, the next failed remote connection is not reported.
    ///
    /// Thread: any. Cost: one atomic store. Never reports anything itself.
    /// \param suspend whether the system is going to or coming from sleep.
    void SetSystemSuspend(bool suspend);
    /// Makes the next desktop-client device report add a sync-app event.
    ///
    /// Thread: any. Cost: one atomic store. Never reports anything itself.
    /// \param syncAppUsing whether the sync-disk app is in use.
    void SetSyncAppUsing(bool syncAppUsing);
    /// Starts the dispatch worker and the daily device-report thread, detached.
    ///
    /// EnableImprovement(true) calls it; a host does not need to. Threads
    /// started before the analytics library is initialised end at once.
    /// Thread: any. Cost: two thread creations. Never joins or stops a thread.
    /// Throws std::system_error when the system refuses a thread.
    void StartReportThread();

    /// Outcome of a reconnection after a failed heartbeat, at most one event
    /// in twelve hours (the time is kept in the ledger file).
    ///
    /// Thread: any. Cost: inside the throttle one ledger read (about 4 µs);
    /// past it a ledger write, the payload and a queued event (about 100 µs,
    /// mostly the file write). Never waits for the delivery.
    /// \param isSuccess whether the reconnection succeeded.
    /// \param isLocalLink whether it went over the local network.
    void ReportHeartBeat(bool isSuccess, bool isLocalLink);
    /// Outcome of a remote connection, with the measured connection time and
    /// every running timer. Failures are reported at most once in twelve
    /// hours and not while SetSystemSuspend(true) holds.
    ///
    /// Thread: any. Cost: a success builds the payload and queues the event
    /// without touching the ledger (about 18 µs, of which 13 µs are the JSON
    /// library); a throttled failure one ledger read (about 4 µs); a reported
    /// failure a ledger write as well (about 100 µs). Never waits for the
    /// delivery.
    /// \param isSuccess whether the connection succeeded.
    /// \param isLocalLink whether it went over the local network.
    void ReportP2P(bool isSuccess, bool isLocalLink);
    /// The sync-disk app is in use; reported at most once a local day.
    ///
    /// Thread: any; concurrent calls make one event: the call that makes it
    /// returns once it is queued, and a call made while another is making it
    /// returns true at once without waiting for it. An exception from the
    /// host's libraries while the payload is built comes out of this call.
    /// Cost: when already made today, today's date and one ledger read (about
    /// 5 µs); otherwise a ledger write and the device payloads as well. Never
    /// waits for the delivery.
    /// \return false before the opt-in has taken effect or when the event
    ///         could not be queued; true when it was queued or had already
    ///         been made today (or is being made by a concurrent call).
    bool ReportSyncAppUsing();
    /// Starts, reads, or reads and restarts a named timer of local wall-clock
    /// time.
    ///
    /// Thread: any. Cost: a map look-up under a lock held only for it (about
    /// 0.3 µs). Never touches a file or the analytics library.
    /// \param name the timer's name; "device_connect_duration" is the
    ///        connection timer that ReportP2P grades.
    /// \param start start the timer (again) and answer 0.
    /// \param restart after reading, start the timer again.
    /// \return the elapsed whole seconds, or 0 when starting or not started.
    int64_t TimeCount(std::string name, bool start, bool restart);

  private:
    friend class TallyServiceTestPeer;
    friend class TallyServiceInstance;

    TallyService();
    ~TallyService();
    TallyService(const TallyService&) = delete;
    TallyService& operator=(const TallyService&) = delete;

    // Analytics library binding.
    void Init();
    void InitConfigParams(const std::wstring& exeFolder);
    void InitConfigCertPath(const std::string& pubkeyPath, const std::string& cacertPath);

    // Queue.
    void OnEventReport(ReportData* record);

    // Routing.
    bool Report(ReportSource source, std::string& data);
    bool OnOrvelReport(std::string& eventName, std::string& data);
    bool OnSyncDiskReport(std::string& eventName, std::string& data);
    bool OnOtherReport(std::string& eventName, std::string& data);

    // Ledger.
    uint64_t GetCurrentDate();
    uint64_t GetLastReportTime(std::wstring key);
    void SetLastReportTime(std::wstring key, uint64_t value);

    // Reports.
    void ReportDevice();
    std::string GetReportDeviceInfo(ReportDeviceType type);
    std::string GetDurationLevel(int64_t seconds);

    // Masking of identifiers.
    std::string AnonymousData(std::string text);
    std::string AnonymousByReplace(std::string text);
    std::string AnonymousByTruncate(std::string text);

    // Helpers of this implementation.
    // Zero-fills a record, fills it and hands it to OnEventReport; answers
    // whether the fill succeeded.
    bool QueueReport(const std::string& eventName, const std::string& data);
    // The twelve-hour throttle of the connection reports on the ledger key:
    // false while the stamp holds the report back, or while another thread
    // is judging the same key; otherwise writes the current instant there
    // first (a report dropped later still counts) and answers true.
    bool PassTwelveHourThrottle(const wchar_t* key);
    void BufferReport(const ReportData& record);  // append without signalling
    void ClearReportQueue();
    // Asks the worker to tell the library about the user's choice; nothing
    // when the library lacks the consent entry point.
    void RelayConsent(bool optedIn);
    // The two thread bodies. `initialized` is m_initialized as it stood when
    // the thread was started: a thread started for a failed attempt ends at
    // once, even if a later attempt has succeeded by the time it runs.
    void DispatchLoop(bool initialized);
    void DailyLoop(bool initialized);
    std::string DeviceUniqueIdCopy();

    std::string m_appVersion;
    std::string m_deviceUniqueId;  // guarded by m_deviceIdMutex
    std::atomic<bool> m_syncAppUsing{false};
    std::atomic<bool> m_improvementEnabled{false};
    std::atomic<bool> m_initialized{false};
    ReportConfig* m_reportConfig = nullptr;
    ReportQueue m_reportQueue;  // guarded by m_queueMutex
    std::mutex m_queueMutex;
    std::condition_variable m_queueCondition;
    ReportInitFn m_reportInit = nullptr;
    ReportOnEventFn m_reportOnEvent = nullptr;
    ReportOnSubmitFn m_reportOnSubmit = nullptr;
    std::map<std::string, int64_t> m_timerStarts;     // guarded by m_timerMutex
    std::map<std::string, int64_t> m_timerDurations;  // guarded by m_timerMutex
    std::atomic<bool> m_systemSuspend{false};
    std::atomic<bool> m_deviceConnectTimed{false};
    void* m_module = nullptr;

    // Guards m_deviceUniqueId; held only to copy or replace the string.
    std::mutex m_deviceIdMutex;
    // Guards the two timer maps; never held while calling out.
    std::mutex m_timerMutex;
    // Serialises initialisation when several host threads enable at once: a
    // second enabler waits until the first one's ReportInit has answered.
    // The one lock of ours held while the host's and the analytics library's
    // code runs, because binding the library twice must never happen.
    std::mutex m_initMutex;
    // Ledger-gated reports. A claim is held while one thread reads the
    // ledger, makes the report and writes the ledger, so reports of one kind
    // made at the same moment give one event. Nothing waits for a claim: a
    // thread that finds one taken leaves the event to the claimant, so no
    // host thread ever waits for another that may be inside the host's
    // libraries. Each claim is released on every way out (tally::Claim).
    std::atomic<bool> m_deviceReportClaimed{false};
    std::atomic<bool> m_syncAppReportClaimed{false};
    std::atomic<bool> m_heartBeatThrottleClaimed{false};
    std::atomic<bool> m_connectThrottleClaimed{false};
    // Set when the process is tearing the service down while its detached
    // threads still run: they stop calling out and leave the object alone.
    std::atomic<bool> m_stopping{false};

    // Optional entry point "ReportSetConsent"; null when the library lacks it.
    ReportSetConsentFn m_reportSetConsent = nullptr;
    // The workers tell the library about opt-outs in order with the records
    // they hand over: an opt-out waits for deliveries under way and is told
    // before any later record, and an opt-in again is told before the first
    // record that follows it. Guarded by m_queueMutex.
    struct ConsentRelay {
        uint32_t optOuts = 0;       // opt-outs of the initialised service
        uint32_t toldOptOuts = 0;   // of which the library has been told
        bool toldOptedOut = false;  // the library's last call said 0
        bool telling = false;       // a worker is inside ReportSetConsent
        uint32_t delivering = 0;    // workers inside ReportOnEvent/ReportOnSubmit
    };
    ConsentRelay m_consent;
};

#endif  // TALLYSERVICE_INCLUDE_TALLYSERVICE_H_
