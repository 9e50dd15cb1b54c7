// The main() of every test program: runs the scenario named by
// --tally-scenario=NAME when given (see scenario.h), every test otherwise.
#include "support/scenario.h"

int main(int argc, char** argv) {
    return tally::testing::RunTestProgram(argc, argv);
}
