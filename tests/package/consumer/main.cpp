// Links the installed service by import and calls it through its header.
#include <TallyService.h>

#include <cstdio>

int main() {
    TallyService* tally = TallyService::GetInstance();
    if (tally == nullptr || tally != TallyService::GetInstance()) return 1;
    tally->SetDeviceUniqueId("consumer-device");
    tally->SetSystemSuspend(false);
    // Starting a timer answers 0; reading one that was never started too.
    if (tally->TimeCount("consumer_timer", true, false) != 0) return 2;
    if (tally->TimeCount("never_started", false, false) != 0) return 3;
    std::printf("consumer: TallyService %s linked, analytics library %s\n", PACKAGE_VERSION,
                ANALYTICS_LIBRARY);
    return 0;
}
