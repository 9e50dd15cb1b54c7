// The event queue and the dispatch worker.
#include <cstdint>
#include <cstring>
#include <mutex>

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

void TallyService::DispatchLoop(bool initialized) {
    uint32_t delivered = 0;
    if (!initialized) {
        return;
    }
    ReportData record;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            while (m_reportQueue.empty() && !m_stopping.load()) {
                m_queueCondition.wait(lock);
            }
            if (m_stopping.load()) {
                return;
            }
            std::memcpy(&record, &m_reportQueue.front(), sizeof(record));
            m_reportQueue.pop_front();
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
