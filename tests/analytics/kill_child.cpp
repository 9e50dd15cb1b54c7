// The host process of the kill test: initialises the analytics library on the
// folder given, then stores events until it is killed, printing "ack N" once
// ReportOnEvent has returned for event N (and "ready" after initialising).
#include <cstdio>
#include <string>

#include "TallyApi.h"
#include "analytics_test_util.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER ROUND\n", argv[0]);
        return 1;
    }
    ReportConfig config = tally::testing::MakeConfig(std::filesystem::u8path(argv[1]));
    if (ReportInit(&config) != 1) {
        std::printf("init failed\n");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Padding makes the write-ahead log grow fast enough that kills also land
    // inside checkpoints.
    const std::string pad(400, 'p');
    for (int n = 0; n < 1000000; ++n) {
        std::string payload = std::string("{\"round\":") + argv[2] + ",\"n\":" + std::to_string(n) +
                              ",\"pad\":\"" + pad + "\"}";
        ReportData record = tally::testing::MakeRecord("kill_test", payload);
        if (ReportOnEvent(&record) != 1) {
            std::printf("event %d refused\n", n);
            return 3;
        }
        if (n % 10 == 9) ReportOnSubmit();
        std::printf("ack %d\n", n);
        std::fflush(stdout);
    }
    return 0;
}
