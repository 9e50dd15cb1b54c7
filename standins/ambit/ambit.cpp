// Stand-in for the host product's parameter library. Every answer comes from
// the environment, read afresh on every call so that a test can change it
// between calls:
//   AMBIT_APP_VERSION  the application version (default "1.0.0")
//   AMBIT_DATA_DIR     the per-user data folder (default: the platform's local
//                      application data folder, a separator, "Orvel")
//   AMBIT_USER_ID      the signed-in user (default "local-user")
//   AMBIT_DATA_DIR_FAILURE  "exception": GetAppDataLocalPath throws a
//                      std::runtime_error; "unknown": it throws an int. For
//                      tests of the callers' exception handlers.
// A test program may also hook GetCurrentUserId (ambit_standin.h).
#include "ambit_standin.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "env.h"
#include "no_destructor.h"

AmbitWrapper* AmbitWrapper::GetInstance() {
    // The class has no state; a never-destroyed instance stays valid for
    // threads that outlive the exit handlers.
    static standin::NoDestructor<AmbitWrapper> instance;
    return instance.get();
}

std::string AmbitWrapper::GetAppVersion() const {
    const std::string version = standin::ReadEnv("AMBIT_APP_VERSION");
    return version.empty() ? std::string("1.0.0") : version;
}

std::wstring AmbitWrapper::GetAppDataLocalPath() const {
    const std::string failure = standin::ReadEnv("AMBIT_DATA_DIR_FAILURE");
    if (failure == "exception") throw std::runtime_error("data folder unavailable");
    if (failure == "unknown") throw 42;
    const std::wstring folder = standin::ReadEnvWide("AMBIT_DATA_DIR");
    if (!folder.empty()) return folder;
    return standin::LocalAppDataFolder() + standin::PathSeparator() + L"Orvel";
}

namespace {
std::atomic<void (*)()> g_userIdHook{nullptr};
}  // namespace

void AmbitStandinSetUserIdHook(void (*hook)()) {
    g_userIdHook.store(hook);
}

std::wstring AmbitWrapper::GetCurrentUserId() {
    if (void (*hook)() = g_userIdHook.load()) hook();
    const std::wstring user = standin::ReadEnvWide("AMBIT_USER_ID");
    return user.empty() ? std::wstring(L"local-user") : user;
}
