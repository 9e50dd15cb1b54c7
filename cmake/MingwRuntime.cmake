# Copies the MinGW-w64 C++ runtime DLLs into ${CMAKE_BINARY_DIR}/bin, beside
# every program and library of the build, so that they load under Wine (and
# on Windows) without a PATH entry.
#
# Every module links libstdc++ shared, never with -static-libstdc++: the
# service and the host libraries pass std::string by value to each other, and
# with a private runtime in each module std::error_code categories (and any
# other runtime statics) differ across the DLL boundary.
#
# All three are stripped of debug information on the way (libstdc++-6.dll:
# 24 MB down to 2 MB), as they ship in the release bundle. The list of copies
# is TALLY_MINGW_RUNTIME_DLLS, which cmake/Install.cmake installs.

set(_tally_runtime_dir "${CMAKE_BINARY_DIR}/bin")
set(_tally_runtime_outputs)

foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(
    COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${_dll}
    OUTPUT_VARIABLE _src
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc)
  # The compiler answers the bare name when it does not know the file.
  if(NOT _rc EQUAL 0 OR NOT IS_ABSOLUTE "${_src}" OR NOT EXISTS "${_src}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${_dll} is")
  endif()
  get_filename_component(_src "${_src}" REALPATH)
  set(_dst "${_tally_runtime_dir}/${_dll}")
  if(NOT CMAKE_STRIP)
    message(FATAL_ERROR "no strip program for ${_dll} (CMAKE_STRIP is empty)")
  endif()
  set(_copy "${CMAKE_STRIP}" --strip-unneeded -o "${_dst}" "${_src}")
  add_custom_command(
    OUTPUT "${_dst}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_tally_runtime_dir}"
    COMMAND ${_copy}
    DEPENDS "${_src}"
    COMMENT "Copying ${_dll} into bin/"
    VERBATIM)
  list(APPEND _tally_runtime_outputs "${_dst}")
endforeach()

# Part of every full build, so ctest finds the DLLs beside the tests.
add_custom_target(tally_mingw_runtime ALL DEPENDS ${_tally_runtime_outputs})
set(TALLY_MINGW_RUNTIME_DLLS ${_tally_runtime_outputs})

# Makes every DLL and EXE under DIRECTORY (and its subfolders) depend on the
# copies, so that building any one target, say only tally-demo, leaves a
# program that loads: without them the Windows loader stops the program
# before main with no message at all under Wine.
function(tally_mingw_runtime_for_all directory)
  get_property(_targets DIRECTORY "${directory}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_target IN LISTS _targets)
    get_target_property(_type ${_target} TYPE)
    if(_type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
      add_dependencies(${_target} tally_mingw_runtime)
    endif()
  endforeach()
  get_property(_subdirs DIRECTORY "${directory}" PROPERTY SUBDIRECTORIES)
  foreach(_subdir IN LISTS _subdirs)
    tally_mingw_runtime_for_all("${_subdir}")
  endforeach()
endfunction()

unset(_dll)
unset(_src)
unset(_dst)
unset(_rc)
unset(_copy)
unset(_tally_runtime_dir)
unset(_tally_runtime_outputs)
