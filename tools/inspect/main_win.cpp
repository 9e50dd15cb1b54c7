#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "inspect_command.h"

namespace {

std::string ToUtf8(const wchar_t* text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

}  // namespace

// Wide arguments, so that paths outside the ANSI code page arrive whole.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(ToUtf8(argv[i]));
    return tally::inspect::RunInspect(arguments, std::cout, std::cerr);
}
