// Test access to the service's private members. The class is a friend of
// TallyService; only test programs, which link the service's objects
// directly, define it. Every member is a thin pass-through.
#ifndef TALLYSERVICE_TESTS_SUPPORT_TEST_PEER_H_
#define TALLYSERVICE_TESTS_SUPPORT_TEST_PEER_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "TallyService.h"

class TallyServiceTestPeer {
  public:
    static TallyService* Service() { return TallyService::GetInstance(); }

    // Analytics binding.
    static void Init() { Service()->Init(); }
    static ReportConfig* Config() { return Service()->m_reportConfig; }
    static void* Module() { return Service()->m_module; }
    // Binds entry points without loading a library, so that a program can run
    // the real worker against functions of its own. Call before the worker
    // starts.
    static void SetEntryPoints(TallyService::ReportOnEventFn onEvent,
                               TallyService::ReportOnSubmitFn onSubmit) {
        Service()->m_reportOnEvent = onEvent;
        Service()->m_reportOnSubmit = onSubmit;
    }
    static void SetConsentEntryPoint(TallyService::ReportSetConsentFn setConsent) {
        Service()->m_reportSetConsent = setConsent;
    }

    // Flags.
    static bool Initialized() { return Service()->m_initialized.load(); }
    static bool ImprovementEnabled() { return Service()->m_improvementEnabled.load(); }
    static bool DeviceConnectTimed() { return Service()->m_deviceConnectTimed.load(); }
    static bool SystemSuspend() { return Service()->m_systemSuspend.load(); }
    static bool SyncAppUsing() { return Service()->m_syncAppUsing.load(); }
    // Opens the queue without binding a library: records then wait in it.
    static void SetImprovementEnabled(bool on) { Service()->m_improvementEnabled.store(on); }
    static void SetInitialized(bool on) { Service()->m_initialized.store(on); }
    static void SetDeviceConnectTimed(bool on) { Service()->m_deviceConnectTimed.store(on); }

    // Queue.
    static void OnEventReport(ReportData* record) { Service()->OnEventReport(record); }
    static size_t QueueSize() {
        std::lock_guard<std::mutex> lock(Service()->m_queueMutex);
        return Service()->m_reportQueue.size();
    }
    // Takes every queued record, oldest first.
    static std::vector<ReportData> DrainQueue() {
        std::vector<ReportData> records;
        std::lock_guard<std::mutex> lock(Service()->m_queueMutex);
        while (!Service()->m_reportQueue.empty()) {
            records.push_back(Service()->m_reportQueue.front());
            Service()->m_reportQueue.pop_front();
        }
        return records;
    }

    // Routing.
    static bool Report(ReportSource source, std::string data) {
        return Service()->Report(source, data);
    }
    static bool OnOrvelReport(std::string name, std::string data) {
        return Service()->OnOrvelReport(name, data);
    }
    static bool OnSyncDiskReport(std::string name, std::string data) {
        return Service()->OnSyncDiskReport(name, data);
    }
    static bool OnOtherReport(std::string name, std::string data) {
        return Service()->OnOtherReport(name, data);
    }

    // Ledger.
    static uint64_t GetCurrentDate() { return Service()->GetCurrentDate(); }
    static uint64_t GetLastReportTime(const std::wstring& key) {
        return Service()->GetLastReportTime(key);
    }
    static void SetLastReportTime(const std::wstring& key, uint64_t value) {
        Service()->SetLastReportTime(key, value);
    }

    // Reports.
    static void ReportDevice() { Service()->ReportDevice(); }
    static std::string GetReportDeviceInfo(ReportDeviceType type) {
        return Service()->GetReportDeviceInfo(type);
    }
    static std::string GetDurationLevel(int64_t seconds) {
        return Service()->GetDurationLevel(seconds);
    }
    static std::map<std::string, int64_t> TimerStarts() {
        std::lock_guard<std::mutex> lock(Service()->m_timerMutex);
        return Service()->m_timerStarts;
    }
    static std::map<std::string, int64_t> TimerDurations() {
        std::lock_guard<std::mutex> lock(Service()->m_timerMutex);
        return Service()->m_timerDurations;
    }

    // Masking.
    static std::string AnonymousData(std::string text) { return Service()->AnonymousData(text); }
    static std::string AnonymousByReplace(std::string text) {
        return Service()->AnonymousByReplace(text);
    }
    static std::string AnonymousByTruncate(std::string text) {
        return Service()->AnonymousByTruncate(text);
    }
};

#endif  // TALLYSERVICE_TESTS_SUPPORT_TEST_PEER_H_
