#include "support/recordings.h"

#include "support/process.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace tally {
namespace testing {
namespace {

constexpr size_t kHeaderSize = 9;  // kind byte and thread id

}  // namespace

std::string FieldText(const char* field, size_t width) {
    size_t length = 0;
    while (length < width && field[length] != '\0') ++length;
    return std::string(field, length);
}

std::string StandinCall::EventName() const {
    return FieldText(event.eventName, sizeof(event.eventName));
}

std::string StandinCall::EventData() const {
    return FieldText(event.data, sizeof(event.data));
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    // A folder opens as a stream too, and reading it throws; tests put one
    // where the ledger belongs.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::string();
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::string();
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::filesystem::path MakeFreshFolder(const std::string& prefix, const std::string& suffix,
                                      std::string* error) {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    std::error_code code;
    const fs::path base = fs::temp_directory_path(code);
    if (code) {
        *error = "no temporary folder: " + code.message();
        return fs::path();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder = base / fs::u8path(prefix + std::to_string(random()) + "-" +
                                                  std::to_string(counter++) + suffix);
        if (fs::create_directory(folder, code)) return folder;
    }
    *error = "cannot create a folder under " + base.string() + ": " + code.message();
    return fs::path();
}

bool WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    return static_cast<bool>(file);
}

void WriteNote(const std::string& key, const std::string& value) {
    std::ofstream(CurrentExecutablePath().parent_path() / "notes.txt",
                  std::ios::binary | std::ios::app)
        << key << '=' << value << '\n';
}

std::vector<StandinCall> ReadStandinCalls(const std::filesystem::path& path, std::string* error) {
    const std::string bytes = ReadFileBytes(path);
    std::vector<StandinCall> calls;
    size_t offset = 0;
    while (offset + kHeaderSize <= bytes.size()) {
        StandinCall call;
        size_t bodySize = 0;
        void* body = nullptr;
        switch (bytes[offset]) {
            case 'I':
                call.kind = StandinCall::Kind::Init;
                bodySize = sizeof(ReportConfig);
                body = &call.config;
                break;
            case 'E':
                call.kind = StandinCall::Kind::Event;
                bodySize = sizeof(ReportData);
                body = &call.event;
                break;
            case 'S':
                call.kind = StandinCall::Kind::Submit;
                break;
            case 'C':
                call.kind = StandinCall::Kind::Consent;
                bodySize = sizeof(call.consent);
                body = &call.consent;
                break;
            default:
                if (error) *error = "unknown record kind at offset " + std::to_string(offset);
                return calls;
        }
        if (offset + kHeaderSize + bodySize > bytes.size()) break;  // still being written
        for (int i = 7; i >= 0; --i) {
            call.thread = (call.thread << 8) | static_cast<unsigned char>(bytes[offset + 1 + i]);
        }
        if (bodySize > 0) std::memcpy(body, bytes.data() + offset + kHeaderSize, bodySize);
        calls.push_back(call);
        offset += kHeaderSize + bodySize;
    }
    return calls;
}

std::vector<const StandinCall*> EventCalls(const std::vector<StandinCall>& calls) {
    std::vector<const StandinCall*> events;
    for (const StandinCall& call : calls) {
        if (call.kind == StandinCall::Kind::Event) events.push_back(&call);
    }
    return events;
}

std::vector<StandinCall> ReadOwnStandinCalls() {
    return ReadStandinCalls(std::filesystem::u8path(ReadEnvironment("TALLY_STANDIN_LOG")));
}

bool WaitForStandinEvents(size_t count, std::chrono::milliseconds timeout, size_t* seen) {
    const bool logged = !ReadEnvironment("TALLY_STANDIN_LOG").empty();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t events = EventCalls(ReadOwnStandinCalls()).size();
        if (seen) *seen = events;
        if (events >= count) return true;
        if (!logged || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<JournalLine> ReadJournal(const std::filesystem::path& path) {
    const std::string bytes = ReadFileBytes(path);
    std::vector<JournalLine> lines;
    size_t start = 0;
    for (size_t end = bytes.find('\n'); end != std::string::npos;
         start = end + 1, end = bytes.find('\n', start)) {
        const std::string text = bytes.substr(start, end - start);
        // Six tab-separated fields, then the message, which may hold tabs.
        std::vector<std::string> fields;
        size_t from = 0;
        for (int i = 0; i < 6; ++i) {
            const size_t tab = text.find('\t', from);
            if (tab == std::string::npos) break;
            fields.push_back(text.substr(from, tab - from));
            from = tab + 1;
        }
        if (fields.size() != 6) continue;
        JournalLine line;
        line.timestamp = fields[0];
        line.module = std::atoi(fields[1].c_str());
        line.severity = std::atoi(fields[2].c_str());
        line.function = fields[3];
        line.line = std::atoi(fields[4].c_str());
        line.flag = fields[5] == "1";
        line.message = text.substr(from);
        lines.push_back(line);
    }
    return lines;
}

}  // namespace testing
}  // namespace tally
