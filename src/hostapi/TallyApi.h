// The analytics library's side of the boundary: the configuration record and
// the three entry points, bound by name at run time. These prototypes are the
// one source of the entry-point types: the service derives its function
// pointer types from them and the analytics libraries we build define them.
#ifndef TALLYSERVICE_SRC_HOSTAPI_TALLYAPI_H_
#define TALLYSERVICE_SRC_HOSTAPI_TALLYAPI_H_

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "TallyService.h"

// TALLY_BUILD is defined while an analytics library itself is compiled.
#if defined(_WIN32)
#if defined(TALLY_BUILD)
#define TALLY_API __declspec(dllexport)
#else
#define TALLY_API
#endif
#else
#define TALLY_API __attribute__((visibility("default")))
#endif

// Who is reporting, where to send and where the library keeps its files.
// Every text is NUL-terminated UTF-8 in a zero-filled field.
struct ReportConfig {
    char appid[64];
    char appversion[64];
    char deviceType[64];
    char tag[64];
    char domain[64];
    char logDir[1024];
    char logFileName[64];
    char dbPath[1024];
    char pubkeyPath[1024];
    char cacertPath[1024];
    int32_t certParam1;
    int32_t certParam2;
};
static_assert(std::is_standard_layout<ReportConfig>::value, "ReportConfig is a binary interface");
static_assert(sizeof(ReportConfig) == 4488, "ReportConfig is a binary interface");
static_assert(offsetof(ReportConfig, appid) == 0, "ReportConfig layout");
static_assert(offsetof(ReportConfig, appversion) == 64, "ReportConfig layout");
static_assert(offsetof(ReportConfig, deviceType) == 128, "ReportConfig layout");
static_assert(offsetof(ReportConfig, tag) == 192, "ReportConfig layout");
static_assert(offsetof(ReportConfig, domain) == 256, "ReportConfig layout");
static_assert(offsetof(ReportConfig, logDir) == 320, "ReportConfig layout");
static_assert(offsetof(ReportConfig, logFileName) == 1344, "ReportConfig layout");
static_assert(offsetof(ReportConfig, dbPath) == 1408, "ReportConfig layout");
static_assert(offsetof(ReportConfig, pubkeyPath) == 2432, "ReportConfig layout");
static_assert(offsetof(ReportConfig, cacertPath) == 3456, "ReportConfig layout");
static_assert(offsetof(ReportConfig, certParam1) == 4480, "ReportConfig layout");
static_assert(offsetof(ReportConfig, certParam2) == 4484, "ReportConfig layout");

extern "C" {
// Answers 1 when the library accepted the configuration. The record stays
// owned by the caller and valid for the caller's lifetime.
TALLY_API int32_t ReportInit(ReportConfig* config);
// One event. The record is the caller's and is reused after the call returns:
// consume it before returning and keep no pointer to it. Result ignored.
TALLY_API int32_t ReportOnEvent(ReportData* record);
// Submit the events collected so far. Result ignored.
TALLY_API int32_t ReportOnSubmit();
// Optional; the service binds it when the library exports it. The user's
// consent changed: 0 when they opted out (forget every stored event the
// server has not accepted, abandon the request in flight, keep no event that
// arrives before the next 1, send nothing until called with 1), 1 when they
// opted in again. Called with 0 on the host's thread as well as on the
// service's worker, possibly twice for one opt-out: a repeated call changes
// nothing. When a call with 0 returns, the opt-out is durable against a kill
// of the process: no later session of the same store sends an event stored
// before it. Returns promptly: it never waits for the network. Answers 1 when
// done, 0 when not initialised.
TALLY_API int32_t ReportSetConsent(int32_t optedIn);
}

static_assert(std::is_same<decltype(&ReportInit), TallyService::ReportInitFn>::value,
              "entry point type");
static_assert(std::is_same<decltype(&ReportOnEvent), TallyService::ReportOnEventFn>::value,
              "entry point type");
static_assert(std::is_same<decltype(&ReportOnSubmit), TallyService::ReportOnSubmitFn>::value,
              "entry point type");
static_assert(std::is_same<decltype(&ReportSetConsent), TallyService::ReportSetConsentFn>::value,
              "entry point type");

#endif  // TALLYSERVICE_SRC_HOSTAPI_TALLYAPI_H_
