# Writes the Windows suite from the manifest that add_windows_suite()
# generates (see WindowsSuite.cmake): the programs into SUITE_DIR/tests,
# every build-tree file or folder their environment names into
# SUITE_DIR/files (at its path below the build tree), run-suite.cmd from
# TEMPLATE, and SUITE_DIR.zip. Runs at every build and copies only what is
# newer; the zip is made again only when something changed.
#   cmake -DMANIFEST=... -DSUITE_DIR=... -DBUILD_DIR=... -DTEMPLATE=...
#         -P make-suite.cmake
cmake_minimum_required(VERSION 3.25)
include(${MANIFEST})

# A program or file that left the suite must leave the folder too.
set(kept ${SUITE_DIR}-manifest.kept)
set(changed FALSE)
if(NOT EXISTS ${kept} OR ${MANIFEST} IS_NEWER_THAN ${kept})
  file(READ ${MANIFEST} now)
  set(before "")
  if(EXISTS ${kept})
    file(READ ${kept} before)
  endif()
  if(NOT now STREQUAL before)
    file(REMOVE_RECURSE ${SUITE_DIR})
    set(changed TRUE)
  endif()
endif()

function(copy_if_newer source target)
  if(source IS_NEWER_THAN target)
    get_filename_component(folder ${target} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(COPY_FILE ${source} ${target})
    set(changed TRUE PARENT_SCOPE)
  endif()
endfunction()

# Carries a file or folder of the build tree into SUITE_DIR/files and sets
# out to its path there, relative to the suite, with backslashes.
function(carry path out)
  file(RELATIVE_PATH relative ${BUILD_DIR} ${path})
  if(relative MATCHES "^\\.\\./" OR IS_ABSOLUTE "${relative}")
    message(FATAL_ERROR "windows suite: ${path} is outside the build tree "
      "${BUILD_DIR}; only what the build makes is carried")
  endif()
  if(IS_DIRECTORY ${path})
    file(GLOB_RECURSE files RELATIVE ${path} ${path}/*)
    foreach(file IN LISTS files)
      copy_if_newer(${path}/${file} ${SUITE_DIR}/files/${relative}/${file})
    endforeach()
  elseif(EXISTS ${path})
    copy_if_newer(${path} ${SUITE_DIR}/files/${relative})
  else()
    message(FATAL_ERROR "windows suite: ${path} does not exist; if the host "
      "makes it while CTest runs, name its variable in HOST_ONLY")
  endif()
  set(changed ${changed} PARENT_SCOPE)
  string(REPLACE "/" "\\" relative "files/${relative}")
  set(${out} ${relative} PARENT_SCOPE)
endfunction()

set(blocks "")
foreach(name IN LISTS SUITE_PROGRAMS)
  string(APPEND blocks "setlocal\n")
  foreach(entry IN LISTS SUITE_${name}_ENV)
    string(REGEX REPLACE "=.*" "" variable "${entry}")
    string(REGEX REPLACE "^[^=]*=" "" value "${entry}")
    if(variable IN_LIST SUITE_HOST_ONLY)
      string(APPEND blocks "rem ${variable}: made by the build machine only\n")
      continue()
    endif()
    if(IS_ABSOLUTE "${value}")
      carry(${value} value)
      set(value "%SUITE%\\${value}")
    else()
      string(REPLACE "%" "%%" value "${value}")
    endif()
    string(APPEND blocks "set \"${variable}=${value}\"\n")
  endforeach()
  set(command ${SUITE_${name}_COMMAND})
  list(POP_FRONT command program)
  get_filename_component(program_name ${program} NAME)
  copy_if_newer(${program} ${SUITE_DIR}/tests/${program_name})
  list(JOIN command " " arguments)
  string(APPEND blocks "call :run ${name} \"tests\\${program_name}\" ${arguments}\n")
  string(APPEND blocks "endlocal & set /a \"passed=%passed%, failed=%failed%, skipped=%skipped%\"\n\n")
endforeach()

# cmd.exe reads its scripts with CRLF line ends (with LF alone, a jump to a
# label can miss it).
file(READ ${TEMPLATE} runner)
string(REPLACE "@PROGRAMS@\n" "${blocks}" runner "${runner}")
string(REPLACE "\n" "\r\n" runner "${runner}")
set(runner_file ${SUITE_DIR}/run-suite.cmd)
set(old_runner "")
if(EXISTS ${runner_file})
  file(READ ${runner_file} old_runner)
endif()
if(NOT runner STREQUAL old_runner)
  file(WRITE ${runner_file} "${runner}")
  set(changed TRUE)
endif()

set(zip ${SUITE_DIR}.zip)
if(changed OR NOT EXISTS ${zip})
  # The folder's own content only: not results/ of a run made in place.
  get_filename_component(parent ${SUITE_DIR} DIRECTORY)
  get_filename_component(top ${SUITE_DIR} NAME)
  file(GLOB_RECURSE members RELATIVE ${parent} ${SUITE_DIR}/*)
  list(FILTER members EXCLUDE REGEX "^${top}/results/")
  file(REMOVE ${zip})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${members}
    WORKING_DIRECTORY ${parent} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "windows suite: ${zip} not written")
  endif()
  file(COPY_FILE ${MANIFEST} ${kept})
  message(STATUS "Windows suite written: ${SUITE_DIR} and ${zip}")
endif()
