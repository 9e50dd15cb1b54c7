// What the benchmark programs need from the operating system: setting the
// environment the stand-in host libraries read, the process's CPU time, and
// talking to the collector the upload benchmark sends to.
// One implementation per platform (bench_platform_posix.cpp,
// bench_platform_win.cpp), picked by CMake.
#ifndef TALLYSERVICE_BENCH_BENCH_PLATFORM_H_
#define TALLYSERVICE_BENCH_BENCH_PLATFORM_H_

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace tally {
namespace bench {

// Sets environment variable `name` of this process where the stand-ins and
// the analytics library read it (the C library's environment on Linux; on
// Windows the process environment block and the C runtime's copy). `value`
// is a path or plain ASCII text. Call while no other thread reads the
// environment. Answers whether the system accepted it.
bool SetEnv(const char* name, const std::filesystem::path& value);

// What the program runs on, for the results' context: "Linux", "Windows", or
// "Windows (Wine 8.0)" when Wine runs the Windows build.
std::string PlatformName();

// Processor time (user plus kernel) that the whole process, all its threads,
// has used so far, in seconds; negative when it cannot be had.
double ProcessCpuSeconds();

// Processor time of every thread of the process except the calling one, in
// seconds (what the library's own threads used while the caller slept);
// negative when it cannot be had.
double OtherThreadsCpuSeconds();

// One plain-HTTP request to 127.0.0.1:`port` (the collector's control port);
// answers the response body, or empty on any failure.
std::string LocalHttp(int port, const char* method, const char* path, const std::string& body);

// Starts `program` with `args`, its standard output discarded, and answers
// its process id, or -1 (always -1 on Windows: the collector is a Linux
// program, started by scripts/bench).
long StartProgram(const std::string& program, const std::vector<std::string>& args);
// Waits for a program StartProgram started to end, at most `limitMs`, then
// kills it. Answers its exit code, 128 + the signal that ended it, or -1
// when it had to be killed (always -1 on Windows). Looks every millisecond,
// so that the wait can time a short program.
int EndProgram(long pid, int limitMs);

// The whole number after "key": in a flat JSON text (the collector's
// ports.json and /stats); -1 when absent.
inline long long JsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::atoll(json.c_str() + at + key.size() + 3);
}

}  // namespace bench
}  // namespace tally

#endif  // TALLYSERVICE_BENCH_BENCH_PLATFORM_H_
