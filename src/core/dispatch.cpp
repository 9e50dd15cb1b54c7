// The event queue and the dispatch worker.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "TallyService.h"
#include "core/log.h"
#include "core/service_internal.h"

namespace {

// A submit follows every tenth record handed to the analytics library.
constexpr uint32_t kRecordsPerSubmit = 10;

template <size_t N>
bool CopyText(char (&field)[N], const std::string& text) {
    if (text.size() >= N) {
        return false;
    }
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
    return true;
}

}  // namespace

namespace tally {

bool CopyReportData(ReportData* record, const std::string& eventName, const std::string& data) {
    if (record == nullptr || eventName.empty() || data.empty()) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "CopyReportData",
                  "copy param is incorrect.");
        return false;
    }
    if (!CopyText(record->eventName, eventName)) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "CopyReportData",
                  "copy event name failed.");
        return false;
    }
    if (!CopyText(record->data, data)) {
        TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "CopyReportData",
                  "copy data failed.");
        return false;
    }
    return true;
}

}  // namespace tally

void TallyService::OnEventReport(ReportData* record) {
    if (record == nullptr || !m_improvementEnabled.load()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_queueMutex);
    // Again under the lock: a report that raced an opt-out must not slip in
    // after the opt-out emptied the queue, or it would reach the library
    // after the library was told to forget everything.
    if (!m_improvementEnabled.load()) {
        return;
    }
    m_reportQueue.push_back(*record);
    m_queueCondition.notify_one();
}

void TallyService::BufferReport(const ReportData& record) {
    // No worker delivers yet; the record waits for the first one.
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_reportQueue.push_back(record);
}

void TallyService::ClearReportQueue() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_reportQueue.clear();
    m_queueCondition.notify_one();
}

void TallyService::RelayConsent(bool optedIn) {
    // Set before the worker threads start and never changed while they run.
    if (m_reportSetConsent == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (!optedIn) {
        ++m_consent.optOuts;
    }
    m_queueCondition.notify_all();
}

void TallyService::DispatchLoop(bool initialized) {
    uint32_t delivered = 0;
    if (!initialized) {
        return;
    }
    // What the library must hear before this worker may take another record:
    // 0 after an opt-out it has not been told, 1 when the user is opted in
    // again since it was; -1 when nothing is due. Under m_queueMutex.
    const auto consentDue = [this]() -> int32_t {
        if (m_reportSetConsent == nullptr) {
            return -1;
        }
        if (m_consent.optOuts != m_consent.toldOptOuts) {
            return 0;
        }
        return m_consent.toldOptedOut && m_improvementEnabled.load() ? 1 : -1;
    };
    ReportData record;
    bool delivering = false;
    bool telling = false;
    for (;;) {
        int32_t consent = -1;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            if (delivering) {
                --m_consent.delivering;
                delivering = false;
            }
            if (telling) {
                // Other workers hold their records back while the library
                // hears about consent.
                m_consent.telling = false;
                telling = false;
                m_queueCondition.notify_all();
            }
            // A consent change goes first, once no other worker is inside the
            // library; records wait until it has been told.
            for (;;) {
                if (m_stopping.load()) {
                    return;
                }
                if (!m_consent.telling) {
                    consent = consentDue();
                    if (consent >= 0 ? m_consent.delivering == 0 : !m_reportQueue.empty()) {
                        break;
                    }
                }
                m_queueCondition.wait(lock);
            }
            if (consent >= 0) {
                m_consent.telling = telling = true;
                m_consent.toldOptOuts = m_consent.optOuts;
                m_consent.toldOptedOut = consent == 0;
            } else {
                std::memcpy(&record, &m_reportQueue.front(), sizeof(record));
                m_reportQueue.pop_front();
                ++m_consent.delivering;
                delivering = true;
            }
        }
        if (consent >= 0) {
            // Returns promptly: the library never waits for the network here.
            const int32_t answer = m_reportSetConsent(consent);
            // Composing the line may throw, which would end the process from
            // this thread; the line is then lost, not the worker.
            try {
                TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityInfo,
                          "TallyService::DispatchLoop",
                          "tally consent " + std::to_string(consent) + " ret -> " +
                              std::to_string(answer));
            } catch (...) {
            }
            continue;
        }
        // The analytics library runs outside the lock, so host threads that
        // report meanwhile never wait for it.
        if (m_reportOnEvent != nullptr) {
            m_reportOnEvent(&record);
            ++delivered;
        }
        if (delivered >= kRecordsPerSubmit) {
            if (m_reportOnSubmit != nullptr) {
                m_reportOnSubmit();
            }
            delivered = 0;
        }
        if (!m_initialized.load() || m_stopping.load()) {
            return;
        }
    }
}
