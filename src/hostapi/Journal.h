// The host product's logging library, linked by import. The service writes
// every diagnostic line through Journal::Output and never formats or files
// log lines itself. Safe to call from any thread; never throws.
#ifndef TALLYSERVICE_SRC_HOSTAPI_JOURNAL_H_
#define TALLYSERVICE_SRC_HOSTAPI_JOURNAL_H_

#include <cstdint>
#include <string>

#if defined(_WIN32)
#if defined(JOURNAL_BUILD)
#define JOURNAL_API __declspec(dllexport)
#else
#define JOURNAL_API __declspec(dllimport)
#endif
#else
#define JOURNAL_API __attribute__((visibility("default")))
#endif

namespace Journal {

// Which part of the service a line comes from.
enum ModuleType : int32_t {
    ModuleAnalytics = 6,  // analytics library start-up and configuration
    ModuleReport = 20,    // everything else
};

enum LogSeverity : int32_t {
    SeverityInfo = 2,
    SeverityError = 5,
};

// Records one line. `line` is the source line of the logging statement,
// `function` the qualified name of the logging method. `flag` is always true.
JOURNAL_API void Output(ModuleType module, LogSeverity severity, int line, std::string function,
                        std::string message, bool flag);

}  // namespace Journal

#endif  // TALLYSERVICE_SRC_HOSTAPI_JOURNAL_H_
