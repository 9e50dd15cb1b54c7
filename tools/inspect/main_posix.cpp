#include <iostream>
#include <string>
#include <vector>

#include "inspect_command.h"

int main(int argc, char** argv) {
    // Linux arguments are UTF-8 already.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return tally::inspect::RunInspect(arguments, std::cout, std::cerr);
}
