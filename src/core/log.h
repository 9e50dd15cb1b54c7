// Logging through the host's Journal::Output. Every diagnostic line of the
// service is one call: module, severity, the source line of the statement,
// the qualified name of the logging method, the message, and the flag true.
#ifndef TALLYSERVICE_SRC_CORE_LOG_H_
#define TALLYSERVICE_SRC_CORE_LOG_H_

#include <string>

#include "Journal.h"

namespace tally {

// Records one line; never throws, whatever the host's logging library does.
void Log(Journal::ModuleType module, Journal::LogSeverity severity, int line, const char* function,
         const std::string& message) noexcept;

}  // namespace tally

// TALLY_LOG(Journal::ModuleReport, Journal::SeverityError, "TallyService::Report", "text")
#define TALLY_LOG(module, severity, function, message) \
    ::tally::Log((module), (severity), __LINE__, (function), (message))

#endif  // TALLYSERVICE_SRC_CORE_LOG_H_
