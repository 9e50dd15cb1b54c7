# Installs this build into an empty prefix (with the stand-ins), then
# configures, builds and runs tests/package/consumer against that prefix only.
#
# -DBUILD=<this build> -DWORK=<scratch folder> -DCONSUMER=<consumer source>
# -DVERSION=<project version> -DGENERATOR=<generator> -DMAKE_PROGRAM=<program>
# [-DTOOLCHAIN=<toolchain file> -DEMULATOR=<runner;args>]  (Windows)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/prefix")
run("install" ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")
run("install of the stand-ins" ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}"
    --component Standins)

# Only the one public header is installed.
file(GLOB headers RELATIVE "${prefix}/include" "${prefix}/include/*")
if(NOT headers STREQUAL "TallyService.h")
  message(FATAL_ERROR "include/ holds ${headers}, not only TallyService.h")
endif()

set(configure ${CMAKE_COMMAND} -S "${CONSUMER}" -B "${WORK}/build" -G "${GENERATOR}"
    "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_PREFIX_PATH=${prefix}")
if(TOOLCHAIN)
  list(APPEND configure "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()
run("configure of the consumer" ${configure})
run("build of the consumer" ${CMAKE_COMMAND} --build "${WORK}/build")

if(TOOLCHAIN)
  # What a Windows host does: every DLL it needs beside the executable.
  file(GLOB dlls "${prefix}/bin/*.dll" "${prefix}/standins/bin/*.dll")
  file(COPY ${dlls} DESTINATION "${WORK}/build")
  set(program "${WORK}/build/consumer.exe")
  set(environment JOURNAL_QUIET=1)
else()
  # The service finds the host libraries through its RUNPATH ($ORIGIN) or,
  # as here, the library path, where a host puts its own first.
  set(program "${WORK}/build/consumer")
  set(environment JOURNAL_QUIET=1 "LD_LIBRARY_PATH=${prefix}/standins/lib")
endif()
run("the consumer" ${CMAKE_COMMAND} -E env ${environment} ${EMULATOR} "${program}")
if(NOT output MATCHES "consumer: TallyService ${VERSION} linked")
  message(FATAL_ERROR "unexpected output of the consumer:\n${output}")
endif()
message(STATUS "${output}")

if(NOT TOOLCHAIN)
  find_program(PKG_CONFIG pkg-config)
  if(PKG_CONFIG)
    set(pc ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig" ${PKG_CONFIG})
    run("pkg-config" ${pc} --modversion TallyService)
    set(answer "${output}")
    run("pkg-config" ${pc} --cflags --libs TallyService)
    string(APPEND answer "${output}")
    if(NOT answer MATCHES "^${VERSION}\n-I[^ ]*/include -L[^ ]*/lib -lTallyService")
      message(FATAL_ERROR "pkg-config answered:\n${answer}")
    endif()
  else()
    message(STATUS "no pkg-config on this machine: TallyService.pc not checked")
  endif()
endif()
