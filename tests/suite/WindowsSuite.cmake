# The Windows suite: one folder, and a zip of it, holding every test
# program that is a Windows program, everything they read, and
# run-suite.cmd, which runs them on a Windows machine with the environment
# CTest gives them here.
#
#   windows_suite_program(NAME COMMAND program [arguments...]
#                         [ENV var=value...] [DEPENDS target...] [PLAIN])
#     Puts a program in the suite, run as NAME with these arguments and
#     this environment (CTest's ENVIRONMENT, generator expressions
#     allowed). A value that is a path into the build tree is carried into
#     the folder and handed over as the path there. DEPENDS names the
#     targets that make the program and what it reads. A GoogleTest program
#     passes only with its closing line; PLAIN marks one that is not, which
#     passes on exit code 0 alone.
#
#   add_windows_suite(TARGET name DIRECTORY dir PREFLIGHT target
#                     [HOST_ONLY var...])
#     Once, after the last program: the target (built by default) that
#     writes DIRECTORY and DIRECTORY.zip, with PREFLIGHT's program as
#     tests\suite_preflight.exe, and the CTest test
#     <name>_under_wine (dashes made underscores), which unpacks the zip and runs run-suite.cmd with
#     Wine's cmd.exe in a prefix of its own. HOST_ONLY names variables
#     whose places only the build machine makes while CTest runs (mounts,
#     a crowded folder): the suite leaves them unset, and the cases that
#     need them skip themselves. Cases of a GoogleTest suite whose name
#     begins with "OnWindows" are the ones only Windows can decide: under
#     Wine each must be reported skipped with a reason beginning
#     "Windows only:".

set(WINDOWS_SUITE_DIR ${CMAKE_CURRENT_LIST_DIR})

function(windows_suite_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "PLAIN" "" "COMMAND;ENV;DEPENDS")
  list(REMOVE_ITEM ARG_ENV "")
  set_property(GLOBAL APPEND PROPERTY WINDOWS_SUITE_PROGRAMS ${name})
  set_property(GLOBAL PROPERTY WINDOWS_SUITE_${name}_COMMAND "${ARG_COMMAND}")
  set_property(GLOBAL PROPERTY WINDOWS_SUITE_${name}_ENV "${ARG_ENV}")
  set_property(GLOBAL PROPERTY WINDOWS_SUITE_${name}_PLAIN "${ARG_PLAIN}")
  set_property(GLOBAL APPEND PROPERTY WINDOWS_SUITE_DEPENDS ${ARG_DEPENDS})
endfunction()

function(add_windows_suite)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "" "TARGET;DIRECTORY;PREFLIGHT"
    "HOST_ONLY")
  get_property(programs GLOBAL PROPERTY WINDOWS_SUITE_PROGRAMS)
  get_property(depends GLOBAL PROPERTY WINDOWS_SUITE_DEPENDS)
  # What the build script needs, with the generator expressions evaluated.
  set(manifest "set(SUITE_PROGRAMS [==[${programs}]==])\n")
  string(APPEND manifest "set(SUITE_HOST_ONLY [==[${ARG_HOST_ONLY}]==])\n")
  foreach(name IN LISTS programs)
    foreach(field COMMAND ENV PLAIN)
      get_property(value GLOBAL PROPERTY WINDOWS_SUITE_${name}_${field})
      string(APPEND manifest "set(SUITE_${name}_${field} [==[${value}]==])\n")
    endforeach()
  endforeach()
  set(manifest_file ${ARG_DIRECTORY}-manifest.cmake)
  file(GENERATE OUTPUT ${manifest_file} CONTENT "${manifest}")

  add_custom_target(${ARG_TARGET} ALL
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest_file}
            -DSUITE_DIR=${ARG_DIRECTORY} -DBUILD_DIR=${CMAKE_BINARY_DIR}
            -DTEMPLATE=${WINDOWS_SUITE_DIR}/run-suite.cmd.in
            -DPREFLIGHT=$<TARGET_FILE:${ARG_PREFLIGHT}>
            -P ${WINDOWS_SUITE_DIR}/make-suite.cmake
    COMMENT "Windows suite: ${ARG_DIRECTORY} and its zip"
    VERBATIM)
  add_dependencies(${ARG_TARGET} ${depends} ${ARG_PREFLIGHT})

  string(REPLACE "-" "_" test "${ARG_TARGET}_under_wine")
  string(REPLACE ";" " " programs_text "${programs}")
  add_test(NAME ${test}
    COMMAND ${WINDOWS_SUITE_DIR}/check-suite.sh
            ${WINDOWS_SUITE_DIR}/../wine/run-in-prefix.sh
            ${CMAKE_BINARY_DIR}/wineprefix-suite ${ARG_DIRECTORY}.zip
            ${ARG_DIRECTORY}-run "${programs_text}" ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(${test} PROPERTIES TIMEOUT 1200)
endfunction()
