// The device UUID stays readable while the process exits: the service's
// detached threads may build a report while static destructors run.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/device_uuid.h"

namespace tally {
namespace {

constexpr int kExitReadMismatch = 3;

// In a child process: a detached thread asks for the UUID without pause and
// checks every answer; once it is going, the main thread exits, which runs
// the clean-up that releases the SMBIOS reader. Under AddressSanitizer a read
// of the released reader ends the child with an error.
[[noreturn]] void ExitWhileReading() {
    static std::atomic<int> calls{0};
    std::thread([] {
        const std::wstring first = GetDeviceUuid();
        for (;;) {
            if (GetDeviceUuid() != first) _exit(kExitReadMismatch);
            calls.fetch_add(1);
        }
    }).detach();
    while (calls.load() < 200) std::this_thread::yield();
    std::exit(0);
}

TEST(DeviceUuidAtExit, ReadersDuringExitGetTheSameText) {
    // The clean-up and a reader meet at a different point in every run.
    for (int run = 0; run < 20; ++run) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ExitWhileReading();
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << " ended by signal " << WTERMSIG(status);
        ASSERT_EQ(0, WEXITSTATUS(status)) << "run " << run;
    }
}

}  // namespace
}  // namespace tally
