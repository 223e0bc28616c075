# Packing a product archive and a setup program into an installer, at
# build time, through the same front a release engineer uses
# (tools/pack-installer.sh, and behind it the host program installer-packer
# from packer/, which the front builds on first use in <build>/pack).
#
#   add_packed_installer(TARGET name
#     ARCHIVE file                    # the product's 7z archive
#     SETUP file                      # the setup program (or a patch)
#     [SETUP_TYPE BL|BN|PATCH]        # BL (default): setup program, stored
#                                     #   as the MSZIP cabinet "SETUP.EX_";
#                                     # BN: setup program, uncompressed;
#                                     # PATCH: a patch for the installed
#                                     #   setup program (needs PREVIOUS_VERSION
#                                     #   and PATCHED_SETUP)
#     [PATCHED_SETUP file]            # with PATCH: the program it must make
#     [PREVIOUS_VERSION text]         # e.g. 1.2.3.4
#     [FILE_VERSION text]             # stamped into the version block
#     [SETUP_RUNS_ELEVATED]           # the installer always runs elevated:
#                                     #   a setup program may ask for it
#     [STUB file]                     # default: the installer target's file
#     [SIGN_CERT cert.pem SIGN_KEY key.pem [SIGN_TIME unix-seconds]]
#     [OUTPUT file]                   # default: <binary dir>/<name>.exe
#     [DEPENDS target-or-file...])    # what makes ARCHIVE, SETUP or STUB
#
# ARCHIVE, SETUP and STUB may be generator expressions (say
# $<TARGET_FILE:x>; then name x in DEPENDS). The target <name> builds
# OUTPUT; its property PACKED_INSTALLER_FILE holds the path. The packer
# judges the inputs when it runs and refuses bad ones with a message.
#
# INSTALLER_PACKER is the packer's path once a packing has run, for
# inspecting, verifying and extracting at build and test time.

set(INSTALLER_PACK_FRONT ${CMAKE_CURRENT_LIST_DIR}/../tools/pack-installer.sh)
set(INSTALLER_PACK_DIR ${CMAKE_BINARY_DIR}/pack)
set(INSTALLER_PACKER ${INSTALLER_PACK_DIR}/packer/installer-packer)
# A changed packer packs again.
file(GLOB INSTALLER_PACKER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/../packer/*.cc ${CMAKE_CURRENT_LIST_DIR}/../packer/*.h
  ${CMAKE_CURRENT_LIST_DIR}/../packer/CMakeLists.txt)

function(add_packed_installer)
  set(values ARCHIVE SETUP SETUP_TYPE PREVIOUS_VERSION FILE_VERSION STUB
      SIGN_CERT SIGN_KEY SIGN_TIME PATCHED_SETUP)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "SETUP_RUNS_ELEVATED"
    "TARGET;OUTPUT;${values}" "DEPENDS")
  set(where "add_packed_installer(${ARG_TARGET})")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required TARGET ARCHIVE SETUP)
    if(NOT ARG_${required})
      message(FATAL_ERROR "${where}: ${required} is required")
    endif()
  endforeach()
  if("PREVIOUS_VERSION" IN_LIST ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${where}: PREVIOUS_VERSION is empty; leave it out "
      "when the installer knows no previous version")
  endif()
  if(NOT ARG_STUB)
    set(ARG_STUB $<TARGET_FILE:installer>)
    list(APPEND ARG_DEPENDS installer)
  endif()
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.exe)
  endif()
  get_filename_component(ARG_OUTPUT "${ARG_OUTPUT}" ABSOLUTE
    BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})

  # Each value goes to the front under its option's name (SETUP_TYPE as
  # --setup-type); paths as absolute ones, since the front runs elsewhere.
  set(options --output ${ARG_OUTPUT})
  if(ARG_SETUP_RUNS_ELEVATED)
    list(APPEND options --setup-runs-elevated)
  endif()
  set(inputs "")
  foreach(value IN LISTS values)
    if(DEFINED ARG_${value})
      string(TOLOWER "--${value}" option)
      string(REPLACE "_" "-" option "${option}")
      if(value MATCHES "^(ARCHIVE|SETUP|STUB|SIGN_CERT|SIGN_KEY|PATCHED_SETUP)$")
        if(NOT ARG_${value} MATCHES "^\\$<")
          get_filename_component(ARG_${value} "${ARG_${value}}" ABSOLUTE)
        endif()
        list(APPEND inputs ${ARG_${value}})
      endif()
      list(APPEND options ${option} ${ARG_${value}})
    endif()
  endforeach()
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${INSTALLER_PACK_FRONT} ${options} --build-dir ${INSTALLER_PACK_DIR}
    DEPENDS ${inputs} ${ARG_DEPENDS} ${INSTALLER_PACK_FRONT}
            ${INSTALLER_PACKER_SOURCES}
    COMMENT "Packing ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${ARG_TARGET} ALL DEPENDS ${ARG_OUTPUT})
  set_target_properties(${ARG_TARGET} PROPERTIES
    PACKED_INSTALLER_FILE ${ARG_OUTPUT})
endfunction()
