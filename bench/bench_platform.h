// What the benchmark programs need from the operating system: setting the
// environment the stand-in host libraries read, and the process's CPU time.
// One implementation per platform (bench_platform_posix.cpp,
// bench_platform_win.cpp), picked by CMake.
#ifndef TALLYSERVICE_BENCH_BENCH_PLATFORM_H_
#define TALLYSERVICE_BENCH_BENCH_PLATFORM_H_

#include <filesystem>
#include <string>

namespace tally {
namespace bench {

// Sets environment variable `name` of this process where the stand-ins read
// it (the C library's environment on Linux, the process environment block on
// Windows). `value` is a path or plain ASCII text. Call before any thread
// starts. Answers whether the system accepted it.
bool SetEnv(const char* name, const std::filesystem::path& value);

// What the program runs on, for the results' context: "Linux", "Windows", or
// "Windows (Wine 8.0)" when Wine runs the Windows build.
std::string PlatformName();

// Processor time (user plus kernel) that the whole process, all its threads,
// has used so far, in seconds; negative when it cannot be had.
double ProcessCpuSeconds();

}  // namespace bench
}  // namespace tally

#endif  // TALLYSERVICE_BENCH_BENCH_PLATFORM_H_
