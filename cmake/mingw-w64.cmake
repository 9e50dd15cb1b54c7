# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 GCC and runs the
# resulting programs under Wine.
#
# The -posix compilers use the posix thread model: GCC 12's win32 model has
# no std::thread or std::mutex. Libraries the Windows build needs (jsoncpp,
# GoogleTest, Google Benchmark, SQLite) are cross-built by scripts/bootstrap
# into .cache/mingw/prefix, which find_package/find_library search through
# CMAKE_FIND_ROOT_PATH (CMAKE_PREFIX_PATH alone would be re-rooted onto the
# MinGW sysroot and find nothing).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALLY_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALLY_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLY_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLY_MINGW_TRIPLET}-windres)

# The cross-built libraries; TALLY_MINGW_PREFIX in the environment points
# elsewhere (for example at a shared cache).
if(DEFINED ENV{TALLY_MINGW_PREFIX})
  set(TALLY_MINGW_PREFIX "$ENV{TALLY_MINGW_PREFIX}")
else()
  get_filename_component(TALLY_MINGW_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../.cache/mingw/prefix"
                         ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH "${TALLY_MINGW_PREFIX}" /usr/${TALLY_MINGW_TRIPLET})
# A host project that builds against an installed TallyService names the
# prefix in CMAKE_PREFIX_PATH, as on Linux; make each such prefix a root too,
# or it would be re-rooted under the two above and not found.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

# Programs (compilers, wine) come from the build machine; headers, libraries
# and packages only from the roots above.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs a test through the emulator when add_test names a target. Wine
# prints pages of debug chatter unless told not to; WINEPREFIX comes from the
# environment (scripts/test sets it to .cache/wine).
#
# Debian's wine64 has no preloader to reserve Windows' fixed addresses, so
# with address-space randomisation about one start in a few thousand finds
# its heap over the shared user data page and exits with status 1, silently
# ("failed to map the shared user data: c0000018" once errors are shown).
# setarch -R turns randomisation off for Wine and every process it starts,
# and the layout is then the same on every start. Where a sandbox refuses
# that personality, Wine runs as it is.
execute_process(COMMAND /usr/bin/setarch x86_64 -R true
                RESULT_VARIABLE _tally_setarch_status OUTPUT_QUIET ERROR_QUIET)
if(_tally_setarch_status EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/setarch x86_64 -R /usr/bin/env WINEDEBUG=-all wine)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all wine)
endif()
