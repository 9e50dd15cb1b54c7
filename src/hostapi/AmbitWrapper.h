// The host product's parameter library, linked by import: the application
// version, the product's per-user data folder and the signed-in user.
// Every member is safe to call from any thread.
#ifndef TALLYSERVICE_SRC_HOSTAPI_AMBITWRAPPER_H_
#define TALLYSERVICE_SRC_HOSTAPI_AMBITWRAPPER_H_

#include <string>

#if defined(_WIN32)
#if defined(AMBIT_BUILD)
#define AMBIT_API __declspec(dllexport)
#else
#define AMBIT_API __declspec(dllimport)
#endif
#else
#define AMBIT_API __attribute__((visibility("default")))
#endif

class AMBIT_API AmbitWrapper {
public:
    // The process-wide instance. Never null.
    static AmbitWrapper* GetInstance();
    // The host application's version; shorter than 64 bytes.
    std::string GetAppVersion() const;
    // The product's per-user local data folder, without a trailing separator.
    std::wstring GetAppDataLocalPath() const;
    // Identifier of the signed-in user.
    std::wstring GetCurrentUserId();
};

#endif  // TALLYSERVICE_SRC_HOSTAPI_AMBITWRAPPER_H_
