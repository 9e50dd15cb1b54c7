// Binding and configuring the analytics library.
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "AmbitWrapper.h"
#include "TallyApi.h"
#include "TallyService.h"
#include "core/log.h"
#include "host/text.h"
#include "platform/platform.h"

namespace {

// Copies `value` with its NUL into a fixed-width field. A value that does not
// fit together with its NUL leaves the field empty and answers false.
template <size_t N>
bool CopyField(char (&field)[N], const std::string& value) {
    std::memset(field, 0, N);
    if (value.size() >= N) {
        return false;
    }
    std::memcpy(field, value.data(), value.size());
    return true;
}

template <typename Fn>
Fn Bind(void* module, const char* name) {
    return reinterpret_cast<Fn>(platform::ModuleSymbol(module, name));
}

}  // namespace

void TallyService::Init() {
    if (m_initialized.load()) {
        return;
    }
    if (m_reportConfig == nullptr) {
        m_reportConfig = new (std::nothrow) ReportConfig();
        if (m_reportConfig == nullptr) {
            TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Init",
                      "new report config failed");
            return;
        }
    }
    try {
        const std::wstring exeFolder = platform::ExecutableFolder();
        uint32_t error = 0;
        m_module = platform::LoadModule(exeFolder + platform::kAnalyticsLibraryName, &error);
        if (m_module == nullptr) {
            TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Init",
                      "Load tally library failed:" + std::to_string(error));
            return;
        }
        m_reportInit = Bind<ReportInitFn>(m_module, "ReportInit");
        m_reportOnEvent = Bind<ReportOnEventFn>(m_module, "ReportOnEvent");
        m_reportOnSubmit = Bind<ReportOnSubmitFn>(m_module, "ReportOnSubmit");
        // Optional: a library without it is bound as before, without a word.
        m_reportSetConsent = Bind<ReportSetConsentFn>(m_module, "ReportSetConsent");
        if (m_reportInit == nullptr || m_reportOnEvent == nullptr || m_reportOnSubmit == nullptr) {
            platform::UnloadModule(m_module);
            m_module = nullptr;
            m_reportInit = nullptr;
            m_reportOnEvent = nullptr;
            m_reportOnSubmit = nullptr;
            m_reportSetConsent = nullptr;
            return;
        }
        InitConfigParams(exeFolder);
        m_initialized.store(m_reportInit(m_reportConfig) == 1);
    } catch (const std::exception&) {
        TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityError, "TallyService::Init",
                  "init fail exception");
    } catch (...) {
        TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityError, "TallyService::Init",
                  "init fail unknown");
    }
    TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityInfo, "TallyService::Init",
              std::string("tally init ret -> ") + (m_initialized.load() ? "1" : "0"));
}

void TallyService::InitConfigParams(const std::wstring& exeFolder) {
    const wchar_t sep = platform::kPathSeparator;
    const std::wstring configFolder = std::wstring(L"config") + sep;

    // Always "https://", also in front of an empty or missing domain.
    const std::wstring domainValue =
        platform::ReadIniValue(exeFolder + configFolder + L"orvel.ini", L"report", L"tally_domain");
    const std::string domain = tally::ToUtf8(L"https://" + domainValue);

    const std::string appVersion = AmbitWrapper::GetInstance()->GetAppVersion();
    const std::string logDir =
        tally::ToUtf8(AmbitWrapper::GetInstance()->GetAppDataLocalPath() + sep + L"log" + sep);

    // The analytics data folder; only its last level is created here.
    const std::wstring dataFolder =
        platform::LocalAppDataFolder() + sep + L"Nantel" + sep + L"Orvel" + sep;
    if (!platform::PathExists(dataFolder)) {
        platform::MakeDirectory(dataFolder);
    }
    const std::string dbPath = tally::ToUtf8(dataFolder + configFolder + L"qx.db");
    const std::string pubkeyPath = tally::ToUtf8(dataFolder + configFolder + L"qx_pubkey.pem");
    const std::string cacertPath = tally::ToUtf8(exeFolder + configFolder + L"qx_cacert.pem");

    // Each copy runs only when the ones before it succeeded; the first that
    // does not fit is logged and ends the configuration.
    const auto copy = [](auto& field, const std::string& value, const char* failure) {
        if (CopyField(field, value)) {
            return true;
        }
        TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityError,
                  "TallyService::InitConfigParams", failure);
        return false;
    };
    ReportConfig& config = *m_reportConfig;
    const bool copied = copy(config.appid, "Orvel", "copy appid failed.") &&
                        copy(config.appversion, appVersion, "copy appversion failed.") &&
                        copy(config.deviceType, "Orvel-PC00", "copy deviceType failed.") &&
                        copy(config.tag, "Orvel", "copy tag failed.") &&
                        copy(config.domain, domain, "copy domain failed.") &&
                        copy(config.logDir, logDir, "copy logDir failed.") &&
                        copy(config.logFileName, "tally.log", "copy logFileName failed.") &&
                        copy(config.dbPath, dbPath, "copy db path failed.");
    if (!copied) {
        return;
    }
    InitConfigCertPath(pubkeyPath, cacertPath);
}

void TallyService::InitConfigCertPath(const std::string& pubkeyPath,
                                      const std::string& cacertPath) {
    m_reportConfig->certParam1 = 4;
    m_reportConfig->certParam2 = 1024;
    if (!CopyField(m_reportConfig->pubkeyPath, pubkeyPath)) {
        TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityError,
                  "TallyService::InitConfigCertPath", "copy pubkeyPath failed.");
        return;
    }
    if (!CopyField(m_reportConfig->cacertPath, cacertPath)) {
        TALLY_LOG(Journal::ModuleAnalytics, Journal::SeverityError,
                  "TallyService::InitConfigCertPath", "copy cacertPath failed.");
    }
}
