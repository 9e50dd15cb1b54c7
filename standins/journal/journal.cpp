// Stand-in for the host product's logging library. One line per call:
//
//   timestamp \t module \t severity \t function \t line \t flag \t message \n
//
// with the message's bytes written as they came (no re-encoding), so tests can
// check them byte for byte. Lines go to the file named by JOURNAL_LOG_FILE
// (appended and flushed per line) or to stderr when it is unset;
// JOURNAL_QUIET=1 discards everything. The environment is read on every call.
#include "Journal.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "env.h"
#include "no_destructor.h"

namespace {

// Serialises writers so that lines from several threads never interleave.
// Never destroyed: the service's detached threads may still log while the
// process runs its exit handlers.
std::mutex& OutputMutex() {
    static standin::NoDestructor<std::mutex> mutex;
    return *mutex.get();
}

std::string FormatLine(Journal::ModuleType module, Journal::LogSeverity severity, int line,
                       const std::string& function, const std::string& message, bool flag) {
    std::string text = standin::LocalTimestamp();
    text += '\t';
    text += std::to_string(static_cast<int32_t>(module));
    text += '\t';
    text += std::to_string(static_cast<int32_t>(severity));
    text += '\t';
    text += function;
    text += '\t';
    text += std::to_string(line);
    text += '\t';
    text += flag ? '1' : '0';
    text += '\t';
    text += message;
    text += '\n';
    return text;
}

}  // namespace

namespace Journal {

void Output(ModuleType module, LogSeverity severity, int line, std::string function,
            std::string message, bool flag) {
    // Callers log from inside their own exception handlers: nothing may leave.
    try {
        if (standin::ReadEnv("JOURNAL_QUIET") == "1") return;
        const std::string text = FormatLine(module, severity, line, function, message, flag);
        const std::string path = standin::ReadEnv("JOURNAL_LOG_FILE");
        std::lock_guard<std::mutex> lock(OutputMutex());
        if (path.empty()) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
            return;
        }
        std::FILE* file = standin::OpenForAppend(path);
        if (!file) return;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    } catch (...) {
    }
}

}  // namespace Journal
