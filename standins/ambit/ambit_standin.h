// What a test program can ask of the parameter library stand-in beyond the
// host product's interface.
#ifndef TALLYSERVICE_STANDINS_AMBIT_AMBIT_STANDIN_H_
#define TALLYSERVICE_STANDINS_AMBIT_AMBIT_STANDIN_H_

#include "AmbitWrapper.h"

// Makes GetCurrentUserId call `hook` (null: nothing) before it answers, as a
// host's library that takes one of the host's own locks there would.
extern "C" AMBIT_API void AmbitStandinSetUserIdHook(void (*hook)());

#endif  // TALLYSERVICE_STANDINS_AMBIT_AMBIT_STANDIN_H_
