# Checks the inputs of a packed installer and prepares its payload: the
# cabinet "SETUP.EX_" (when the setup program travels compressed) and the
# resource script that carries everything into the image.
#
#   cmake -DARCHIVE=FILE -DSETUP=FILE [-DSETUP_TYPE=BL|BN|PATCH]
#         [-DPREVIOUS_VERSION=V] [-DOUT_DIR=DIR -DGCAB=gcab] [-DCHECK_ONLY=ON]
#         -P pack-payload.cmake
#
# With CHECK_ONLY only the checks run (the command-line front uses this to
# fail before it configures anything). Every refusal is one line beginning
# with "packaging:" followed by a fatal error, so that a bad input stops the
# build instead of producing an installer that fails on the user's machine.
#
# Output in OUT_DIR: payload.rc, and SETUP.EX_ for type BL. The archive and
# an uncompressed setup program are referenced where they are, not copied:
# an archive of 150 MB and more is only ever read by windres.

cmake_minimum_required(VERSION 3.25)

# NOTICE prints the line as it is (FATAL_ERROR would wrap and indent it,
# and the front passes on only the lines that begin with "packaging:").
function(refuse)
  string(JOIN "" text ${ARGN})
  message(NOTICE "packaging: ${text}")
  message(FATAL_ERROR "packaging stopped")
endfunction()

# Resources are addressed with 32-bit sizes and the image must still load;
# two gigabytes is a generous ceiling for what a loader maps in one piece.
set(size_limit 2147483647)

function(check_payload_file what path)
  if(path STREQUAL "")
    refuse("no ${what} given")
  endif()
  if(NOT EXISTS "${path}")
    refuse("the ${what} '${path}' does not exist")
  endif()
  if(IS_DIRECTORY "${path}")
    refuse("the ${what} '${path}' is a directory, not a file")
  endif()
  file(SIZE "${path}" size)
  if(size EQUAL 0)
    refuse("the ${what} '${path}' is empty")
  endif()
  if(size GREATER size_limit)
    refuse("the ${what} '${path}' is ${size} bytes; at most ${size_limit} "
           "fit into an installer")
  endif()
  # The resource script names the file in a quoted string.
  if(path MATCHES "[\"\\\n]")
    refuse("the ${what} path '${path}' contains a double quote, a backslash "
           "or a line break; move or rename the file")
  endif()
  set(${what}_size ${size} PARENT_SCOPE)
endfunction()

# A Windows executable: "MZ" at the start, and the offset at 0x3C pointing
# at a "PE\0\0" signature inside the file.
function(check_windows_executable path)
  file(SIZE "${path}" size)
  set(problem "")
  if(size LESS 64)
    set(problem "it is too short")
  else()
    file(READ "${path}" dos_header LIMIT 64 HEX)
    string(SUBSTRING "${dos_header}" 0 4 magic)
    if(NOT magic STREQUAL "4d5a")
      set(problem "it does not begin with \"MZ\"")
    else()
      # e_lfanew, little-endian, at offset 0x3C (hex digits 120 to 127).
      set(offset 0)
      foreach(byte_at 126 124 122 120)
        string(SUBSTRING "${dos_header}" ${byte_at} 2 byte)
        math(EXPR offset "${offset} * 256 + 0x${byte}")
      endforeach()
      math(EXPR pe_end "${offset} + 4")
      if(pe_end GREATER size)
        set(problem "its PE header offset points past the end of the file")
      else()
        file(READ "${path}" pe_magic OFFSET ${offset} LIMIT 4 HEX)
        if(NOT pe_magic STREQUAL "50450000")
          set(problem "it has no PE header")
        endif()
      endif()
    endif()
  endif()
  if(problem)
    refuse("the setup program '${path}' is not a Windows executable: "
           "${problem}")
  endif()
endfunction()

# ---- checks
if(NOT DEFINED SETUP_TYPE OR SETUP_TYPE STREQUAL "")
  set(SETUP_TYPE BL)
endif()
if(NOT SETUP_TYPE MATCHES "^(BL|BN|PATCH)$")
  refuse("setup type '${SETUP_TYPE}' is not one of BL (setup program, "
         "compressed into a cabinet), BN (setup program, uncompressed) or "
         "PATCH (a patch for the installed setup program)")
endif()
check_payload_file(archive "${ARCHIVE}")
if(SETUP_TYPE STREQUAL "PATCH")
  check_payload_file(patch "${SETUP}")
else()
  check_payload_file(setup "${SETUP}")
  check_windows_executable("${SETUP}")
endif()
if(SETUP_TYPE STREQUAL "PATCH")
  math(EXPR total "${archive_size} + ${patch_size}")
else()
  math(EXPR total "${archive_size} + ${setup_size}")
endif()
if(total GREATER size_limit)
  refuse("archive and setup program together are ${total} bytes; at most "
         "${size_limit} fit into an installer")
endif()

if(DEFINED PREVIOUS_VERSION)
  # Digits and dots only: the text is passed to the setup program and
  # searched for in the installed setup program's path, where anything else
  # would either break the quoting or match the wrong installation.
  if(NOT PREVIOUS_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    refuse("previous version '${PREVIOUS_VERSION}' is not a plain version "
           "(one to four numbers separated by dots, such as 1.2.3.4)")
  endif()
  string(LENGTH "${PREVIOUS_VERSION}" version_length)
  if(version_length GREATER 64)
    refuse("previous version '${PREVIOUS_VERSION}' is longer than 64 "
           "characters")
  endif()
elseif(SETUP_TYPE STREQUAL "PATCH")
  refuse("a patch needs the previous version it applies to; without one "
         "the installer would patch whatever version is installed")
endif()

if(CHECK_ONLY)
  return()
endif()

# ---- payload
if(NOT OUT_DIR)
  refuse("OUT_DIR not given")
endif()
if(OUT_DIR MATCHES "[\"\\\n]")
  refuse("the build directory '${OUT_DIR}' contains a double quote, a "
         "backslash or a line break")
endif()
file(MAKE_DIRECTORY "${OUT_DIR}")

# Language 1033 (English, United States) for every payload resource.
set(script "// Generated by the packaging from the inputs named below.\n")
string(APPEND script "LANGUAGE 9, 1\n")
string(APPEND script "KORVEN.PACKED.7Z B7 \"${ARCHIVE}\"\n")

if(SETUP_TYPE STREQUAL "BL")
  if(NOT GCAB)
    set(GCAB gcab)
  endif()
  # The cabinet stores the file's time: a fixed one keeps the output the
  # same from build to build (SOURCE_DATE_EPOCH when the release sets it,
  # else 2000-01-01; DOS dates cannot go before 1980).
  set(stamp 946684800)
  if(DEFINED ENV{SOURCE_DATE_EPOCH} AND "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$"
     AND "$ENV{SOURCE_DATE_EPOCH}" GREATER_EQUAL 315532800)
    set(stamp $ENV{SOURCE_DATE_EPOCH})
  endif()
  set(stage "${OUT_DIR}/stage")
  file(REMOVE_RECURSE "${stage}")
  file(MAKE_DIRECTORY "${stage}")
  file(COPY_FILE "${SETUP}" "${stage}/setup.exe")
  file(CHMOD "${stage}/setup.exe" FILE_PERMISSIONS OWNER_READ OWNER_WRITE
       GROUP_READ WORLD_READ)
  execute_process(COMMAND touch -d @${stamp} setup.exe
    WORKING_DIRECTORY "${stage}" RESULT_VARIABLE touched)
  if(NOT touched EQUAL 0)
    refuse("cannot set the time of the staged setup program")
  endif()
  file(REMOVE "${OUT_DIR}/SETUP.EX_")
  # One folder, one file "setup.exe", MSZIP.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                          ${GCAB} -c -z "${OUT_DIR}/SETUP.EX_" setup.exe
    WORKING_DIRECTORY "${stage}" RESULT_VARIABLE cabbed
    OUTPUT_VARIABLE gcab_output ERROR_VARIABLE gcab_output)
  if(NOT cabbed EQUAL 0)
    refuse("gcab failed to make the cabinet: ${gcab_output}")
  endif()
  file(REMOVE_RECURSE "${stage}")
  string(APPEND script "SETUP.EX_ BL \"${OUT_DIR}/SETUP.EX_\"\n")
elseif(SETUP_TYPE STREQUAL "BN")
  string(APPEND script "SETUP.EXE BN \"${SETUP}\"\n")
else()
  string(APPEND script "SETUP.PATCH B7 \"${SETUP}\"\n")
endif()

if(DEFINED PREVIOUS_VERSION)
  # RT_RCDATA 1: UTF-16 text with its terminator.
  string(APPEND script "1 RCDATA\nBEGIN\n  L\"${PREVIOUS_VERSION}\\0\"\nEND\n")
endif()

file(WRITE "${OUT_DIR}/payload.rc" "${script}")
