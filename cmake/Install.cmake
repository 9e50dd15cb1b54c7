# `cmake --install` rules and the CMake package a host consumes:
#
#   find_package(TallyService 1.0 CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE TallyService::TallyService)
#
# Components:
#   Runtime      the service library, the reference analytics library, the
#                tools, and on Windows the MinGW runtime DLLs with licences
#   Development  the header, the import library, the CMake package files and,
#                on Linux, the pkg-config file
#   Standins     the stand-ins for the host's own Journal and AmbitService,
#                under standins/; only installed when asked for
#                (cmake --install BUILD --component Standins)
#
# Layout of a prefix (also the Windows bundle's, see scripts/bundle):
#   include/TallyService.h
#   bin/      TallyService.dll, Tally.dll, the tools, the runtime DLLs (Windows);
#             tally-inspect and tally-collector (Linux)
#   lib/      libTallyService.so, libTally.so (Linux); libTallyService.dll.a (Windows)
#   lib/cmake/TallyService/, lib/pkgconfig/TallyService.pc (Linux)
#   standins/ bin/ and lib/ of the stand-ins, with a README saying what they are
#   share/doc/TallyService/  CHANGELOG.md and the licences of what ships inside
#
# More programs join the Runtime component with one line each, beside the
# tally-inspect rule below.

include(CMakePackageConfigHelpers)

set(TALLY_INSTALL_CMAKEDIR lib/cmake/TallyService)

install(TARGETS TallyService Tally
  EXPORT TallyServiceTargets
  RUNTIME DESTINATION bin COMPONENT Runtime
  LIBRARY DESTINATION lib COMPONENT Runtime
  ARCHIVE DESTINATION lib COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/include/TallyService.h
  DESTINATION include COMPONENT Development)

# The tools.
install(TARGETS tally-inspect RUNTIME DESTINATION bin COMPONENT Runtime)
if(TARGET tally-collector)
  # The reference collector, for a backend team's tests (Linux only).
  install(TARGETS tally-collector RUNTIME DESTINATION bin COMPONENT Runtime)
endif()
if(WIN32)
  # The demo host runs from the bundle's bin/, where the service and Tally.dll
  # sit beside it as in the product. On Linux the service loads libTally.so
  # from the executable's folder, which an installed bin/ does not hold.
  install(TARGETS tally-demo RUNTIME DESTINATION bin COMPONENT Runtime)
endif()

# The stand-ins, on request only.
install(TARGETS Journal AmbitService
  EXPORT TallyServiceStandinsTargets
  RUNTIME DESTINATION standins/bin COMPONENT Standins EXCLUDE_FROM_ALL
  LIBRARY DESTINATION standins/lib COMPONENT Standins EXCLUDE_FROM_ALL
  ARCHIVE DESTINATION standins/lib COMPONENT Standins EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/standins-README.txt
  DESTINATION standins RENAME README.txt COMPONENT Standins EXCLUDE_FROM_ALL)
install(EXPORT TallyServiceStandinsTargets
  NAMESPACE TallyService::
  DESTINATION ${TALLY_INSTALL_CMAKEDIR}
  COMPONENT Standins EXCLUDE_FROM_ALL)

# The package.
install(EXPORT TallyServiceTargets
  NAMESPACE TallyService::
  DESTINATION ${TALLY_INSTALL_CMAKEDIR}
  COMPONENT Development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TallyServiceConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/TallyServiceConfig.cmake
  INSTALL_DESTINATION ${TALLY_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/package/TallyServiceConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/TallyServiceConfig.cmake
  ${CMAKE_BINARY_DIR}/package/TallyServiceConfigVersion.cmake
  DESTINATION ${TALLY_INSTALL_CMAKEDIR}
  COMPONENT Development)

if(NOT WIN32)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/TallyService.pc.in
                 ${CMAKE_BINARY_DIR}/package/TallyService.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/TallyService.pc
    DESTINATION lib/pkgconfig COMPONENT Development)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION share/doc/TallyService COMPONENT Runtime)
if(WIN32)
  # The MinGW runtime DLLs (cmake/MingwRuntime.cmake) ship beside the service,
  # and with them their licences and those of the libraries linked statically
  # into the binaries (jsoncpp, SQLite).
  install(FILES ${TALLY_MINGW_RUNTIME_DLLS} DESTINATION bin COMPONENT Runtime)
  set(_tally_licences
    "/usr/share/doc/gcc-mingw-w64-base/copyright|libstdc++-6.dll and libgcc_s_seh-1.dll (GCC runtime library exception).txt"
    "/usr/share/common-licenses/GPL-3|GPL-3.txt"
    "/usr/share/doc/mingw-w64-x86-64-dev/copyright|libwinpthread-1.dll (MinGW-w64).txt"
    "/usr/share/doc/libjsoncpp-dev/copyright|jsoncpp.txt"
    "/usr/share/doc/libsqlite3-dev/copyright|SQLite.txt")
  foreach(_entry IN LISTS _tally_licences)
    string(REPLACE "|" ";" _entry "${_entry}")
    list(GET _entry 0 _from)
    list(GET _entry 1 _as)
    if(NOT EXISTS "${_from}")
      message(FATAL_ERROR "licence file ${_from} is missing (its Debian package is not installed)")
    endif()
    install(FILES "${_from}" DESTINATION share/doc/TallyService/licenses
      RENAME "${_as}" COMPONENT Runtime)
  endforeach()
endif()
