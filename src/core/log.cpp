#include "core/log.h"

namespace tally {

void Log(Journal::ModuleType module, Journal::LogSeverity severity, int line, const char* function,
         const std::string& message) noexcept {
    // Several lines are written from inside exception handlers; a logging
    // library that throws must not turn a handled failure into a crash.
    try {
        Journal::Output(module, severity, line, function, message, true);
    } catch (...) {
    }
}

}  // namespace tally
