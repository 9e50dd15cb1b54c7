#include "TallyService.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "AmbitWrapper.h"
#include "TallyApi.h"
#include "core/clock.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

// The daily loop wakes once a minute and reports once a day.
constexpr uint32_t kDailyLoopWakeMs = 60000;
constexpr uint64_t kDailyReportIntervalMs = 86400000ULL;

// Threads of the service that have started and not yet finished. Trivially
// destructible, so it stays valid for threads that outlive static destruction.
std::atomic<int> g_liveThreads{0};
std::atomic<bool> g_modulePinned{false};

// Starts `body` on a detached thread that is counted in g_liveThreads for as
// long as it touches the service. A failure to start the thread reaches the
// caller as std::system_error.
//
// The thread waits at a gate until it has been detached. The thread runtime
// of MinGW-w64 (winpthreads) recycles the record of a thread that is detached
// after it has ended while that thread's exit still writes to the record, and
// the next thread started then begins without its argument and crashes the
// process. Threads started for a failed initialisation end at once, so
// without the gate that order is common.
template <typename Body>
void StartDetached(Body body) {
    auto gate = std::make_shared<std::mutex>();
    std::unique_lock<std::mutex> closed(*gate);
    g_liveThreads.fetch_add(1);
    try {
        std::thread([body, gate]() mutable {
            { std::lock_guard<std::mutex> open(*gate); }
            gate.reset();
            body();
            // Last touch of anything but this thread's own stack.
            g_liveThreads.fetch_sub(1);
        }).detach();
    } catch (...) {
        g_liveThreads.fetch_sub(1);
        throw;
    }
}

}  // namespace

// Storage of the singleton. The service's threads are detached and nothing
// stops them, so at library unload or process exit they may still be running:
// blocked on the queue, asleep in the daily loop, or inside the analytics
// library. The instance is therefore destroyed only when none of them is
// alive; otherwise it is left in place (its memory stays valid until the
// process ends) and the threads are told to stop calling out. Never waits for
// a thread: on Windows this runs under the loader lock, after the system has
// already ended every other thread of an exiting process. The module is pinned
// when threads start, so their code is never unmapped beneath them.
class TallyServiceInstance {
  public:
    TallyServiceInstance() { new (m_storage) TallyService(); }
    ~TallyServiceInstance() {
        TallyService* service = Get();
        if (g_liveThreads.load() == 0) {
            service->~TallyService();
        } else {
            service->m_stopping.store(true);
        }
    }
    TallyServiceInstance(const TallyServiceInstance&) = delete;
    TallyServiceInstance& operator=(const TallyServiceInstance&) = delete;

    TallyService* Get() { return std::launder(reinterpret_cast<TallyService*>(m_storage)); }

  private:
    alignas(TallyService) unsigned char m_storage[sizeof(TallyService)];
};

TallyService* TallyService::GetInstance() {
    static TallyServiceInstance instance;
    return instance.Get();
}

TallyService::TallyService() {
    m_appVersion = AmbitWrapper::GetInstance()->GetAppVersion();
}

TallyService::~TallyService() {
    delete m_reportConfig;
    m_reportConfig = nullptr;
    if (m_module != nullptr) {
        platform::UnloadModule(m_module);
        m_module = nullptr;
    }
}

void TallyService::EnableImprovement(bool enable) {
    m_improvementEnabled.store(enable);
    if (enable && !m_initialized.load()) {
        // Hosts may enable from several threads at once: one of them binds
        // the library and starts the threads, the others find it done.
        std::lock_guard<std::mutex> guard(m_initMutex);
        if (!m_initialized.load()) {
            Init();
            StartReportThread();
        }
    }
    if (!m_initialized.load()) {
        return;
    }
    if (m_improvementEnabled.load()) {
        RelayConsent(true);
        ReportDevice();
        return;
    }
    ClearReportQueue();
    // The library hears of the opt-out here, on the host's thread and before
    // this returns, so that an exit or a kill right after it cannot leave the
    // stored events to a later run. The worker's relay below tells it again,
    // in order with the records it delivers; the library takes a repeated
    // opt-out as done. No lock of ours is held: the pointer is set before the
    // threads start and never changes while they run.
    if (m_reportSetConsent != nullptr) {
        m_reportSetConsent(0);
    }
    RelayConsent(false);
}

void TallyService::SetDeviceUniqueId(std::string deviceId) {
    std::lock_guard<std::mutex> guard(m_deviceIdMutex);
    m_deviceUniqueId.swap(deviceId);
}

std::string TallyService::DeviceUniqueIdCopy() {
    std::lock_guard<std::mutex> guard(m_deviceIdMutex);
    return m_deviceUniqueId;
}

void TallyService::SetSystemSuspend(bool suspend) {
    m_systemSuspend.store(suspend);
}

void TallyService::SetSyncAppUsing(bool syncAppUsing) {
    m_syncAppUsing.store(syncAppUsing);
}

void TallyService::StartReportThread() {
    if (!g_modulePinned.exchange(true)) {
        platform::PinServiceModule();
    }
    const bool initialized = m_initialized.load();
    StartDetached([this, initialized] { DispatchLoop(initialized); });
    StartDetached([this, initialized] { DailyLoop(initialized); });
}

void TallyService::DailyLoop(bool initialized) {
    uint64_t stamp = tally::CurrentClock().TickMs();
    if (!initialized) {
        return;
    }
    for (;;) {
        tally::CurrentClock().SleepMs(kDailyLoopWakeMs);
        if (m_stopping.load()) {
            return;
        }
        if (m_improvementEnabled.load()) {
            const uint64_t now = tally::CurrentClock().TickMs();
            if (now - stamp >= kDailyReportIntervalMs) {
                stamp = now;
                // An exception here would end the process from a thread the
                // host does not know about; log it and try again tomorrow.
                try {
                    ReportDevice();
                } catch (const std::exception&) {
                    TALLY_LOG(Journal::ModuleReport, Journal::SeverityError,
                              "TallyService::ReportDevice", "daily device report exception");
                } catch (...) {
                    TALLY_LOG(Journal::ModuleReport, Journal::SeverityError,
                              "TallyService::ReportDevice",
                              "daily device report unknown exception");
                }
            }
        }
        if (!m_initialized.load() || m_stopping.load()) {
            return;
        }
    }
}
