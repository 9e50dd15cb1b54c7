#include "store_limits.h"

#include <cctype>
#include <cstdlib>

namespace tally {

namespace {

void ReadKnob(const char* name, int64_t min, int64_t max, int64_t* value,
              std::vector<std::string>* warnings) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return;
    if (!ParseLimit(text, min, max, value)) {
        warnings->push_back(std::string("ignoring ") + name + "=\"" + text +
                            "\": not a whole number from " + std::to_string(min) + " to " +
                            std::to_string(max) + "; using " + std::to_string(*value));
    }
}

}  // namespace

bool ParseLimit(const char* text, int64_t min, int64_t max, int64_t* value) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int64_t result = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        int digit = *p - '0';
        // Stop before the number can leave the range, so it never overflows.
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0' || result < min) return false;
    *value = result;
    return true;
}

StoreLimits LimitsFromEnvironment(std::vector<std::string>* warnings) {
    StoreLimits limits;
    ReadKnob(kEnvMaxEvents, kMinMaxEvents, kMaxMaxEvents, &limits.maxEvents, warnings);
    ReadKnob(kEnvMaxBytes, kMinMaxBytes, kMaxMaxBytes, &limits.maxBytes, warnings);
    return limits;
}

}  // namespace tally
