# Packing a product archive and a setup program into an installer.
#
#   add_packed_installer(TARGET name
#     ARCHIVE file                    # the product's 7z archive
#     SETUP file                      # the setup program (or a patch)
#     [SETUP_TYPE BL|BN|PATCH]        # BL (default): setup program, stored
#                                     #   as the MSZIP cabinet "SETUP.EX_";
#                                     # BN: setup program, uncompressed;
#                                     # PATCH: a patch for the installed
#                                     #   setup program (needs PREVIOUS_VERSION)
#     [PREVIOUS_VERSION text]         # e.g. 1.2.3.4
#     [SIGN_CERT cert.pem SIGN_KEY key.pem [SIGN_TIME unix-seconds]]
#     [OUTPUT file]                   # default: <binary dir>/<name>.exe
#     [DEPENDS target-or-file...])    # what makes ARCHIVE or SETUP
#
# ARCHIVE and SETUP may be generator expressions (say $<TARGET_FILE:x>; then
# name x in DEPENDS). The target <name> builds OUTPUT; its property
# PACKED_INSTALLER_FILE holds the path. The image is the one of the
# "installer" target (same sources, options and libraries) with the payload
# resources added before linking, so one ordinary signature, applied last,
# covers the whole file.
#
# Payload resources, all in language 1033: "KORVEN.PACKED.7Z" under "B7";
# "SETUP.EX_" under "BL", "SETUP.EXE" under "BN" or "SETUP.PATCH" under
# "B7"; and with PREVIOUS_VERSION, RT_RCDATA 1 holding the UTF-16 text with
# its terminator.
#
# Inputs are checked when the payload is prepared at build time (see
# pack-payload.cmake); arguments that can be checked at once are checked
# here.
#
# Command-line front: tools/pack-installer.sh, which configures this project
# with the INSTALLER_PACK_* cache variables below and builds the target
# "packed_installer".

set(INSTALLER_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

function(add_packed_installer)
  cmake_parse_arguments(PARSE_ARGV 0 ARG ""
    "TARGET;ARCHIVE;SETUP;SETUP_TYPE;PREVIOUS_VERSION;SIGN_CERT;SIGN_KEY;SIGN_TIME;OUTPUT"
    "DEPENDS")
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
  if(NOT ARG_SETUP_TYPE)
    set(ARG_SETUP_TYPE BL)
  endif()
  if(NOT ARG_SETUP_TYPE MATCHES "^(BL|BN|PATCH)$")
    message(FATAL_ERROR "${where}: SETUP_TYPE must be BL, BN or PATCH")
  endif()
  if(ARG_SETUP_TYPE STREQUAL "PATCH" AND NOT DEFINED ARG_PREVIOUS_VERSION)
    message(FATAL_ERROR "${where}: a PATCH needs the PREVIOUS_VERSION it "
      "applies to")
  endif()
  if(DEFINED ARG_PREVIOUS_VERSION AND NOT ARG_PREVIOUS_VERSION MATCHES
     "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "${where}: PREVIOUS_VERSION '${ARG_PREVIOUS_VERSION}' "
      "is not a plain version (one to four numbers separated by dots)")
  endif()
  if((ARG_SIGN_CERT AND NOT ARG_SIGN_KEY) OR (ARG_SIGN_KEY AND NOT ARG_SIGN_CERT))
    message(FATAL_ERROR "${where}: signing needs both SIGN_CERT and SIGN_KEY")
  endif()
  if(ARG_SIGN_TIME AND NOT ARG_SIGN_TIME MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${where}: SIGN_TIME must be seconds since 1970")
  endif()
  if(NOT ARG_OUTPUT)
    set(ARG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.exe)
  endif()
  get_filename_component(ARG_OUTPUT "${ARG_OUTPUT}" ABSOLUTE
    BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  if(NOT TARGET installer)
    message(FATAL_ERROR "${where}: the installer target must be defined first")
  endif()

  find_program(INSTALLER_GCAB gcab)
  if(ARG_SETUP_TYPE STREQUAL "BL" AND NOT INSTALLER_GCAB)
    message(FATAL_ERROR "${where}: gcab is needed for the cabinet "
      "(Debian package gcab; tools/install-deps.sh installs it)")
  endif()
  if(ARG_SIGN_CERT)
    find_program(INSTALLER_OSSLSIGNCODE osslsigncode)
    if(NOT INSTALLER_OSSLSIGNCODE)
      message(FATAL_ERROR "${where}: osslsigncode is needed for signing "
        "(Debian package osslsigncode)")
    endif()
  endif()

  set(work ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}.payload)
  set(payload_outputs ${work}/payload.rc)
  if(ARG_SETUP_TYPE STREQUAL "BL")
    list(APPEND payload_outputs ${work}/SETUP.EX_)
  endif()
  set(version_option "")
  if(DEFINED ARG_PREVIOUS_VERSION)
    set(version_option -DPREVIOUS_VERSION=${ARG_PREVIOUS_VERSION})
  endif()
  add_custom_command(
    OUTPUT ${payload_outputs}
    COMMAND ${CMAKE_COMMAND}
            -DARCHIVE=${ARG_ARCHIVE} -DSETUP=${ARG_SETUP}
            -DSETUP_TYPE=${ARG_SETUP_TYPE} ${version_option}
            -DOUT_DIR=${work} -DGCAB=${INSTALLER_GCAB}
            -P ${INSTALLER_PACKAGING_DIR}/pack-payload.cmake
    DEPENDS ${ARG_ARCHIVE} ${ARG_SETUP} ${ARG_DEPENDS}
            ${INSTALLER_PACKAGING_DIR}/pack-payload.cmake
    COMMENT "Preparing the payload of ${ARG_TARGET}"
    VERBATIM)

  # The image: everything the installer target is made of, plus the payload.
  set(image ${ARG_TARGET}_image)
  get_target_property(installer_dir installer SOURCE_DIR)
  get_target_property(installer_sources installer SOURCES)
  set(sources "")
  foreach(source IN LISTS installer_sources)
    get_filename_component(source "${source}" ABSOLUTE BASE_DIR ${installer_dir})
    list(APPEND sources ${source})
  endforeach()
  add_executable(${image} ${sources} ${work}/payload.rc)
  foreach(property WIN32_EXECUTABLE COMPILE_OPTIONS COMPILE_DEFINITIONS
          INCLUDE_DIRECTORIES LINK_OPTIONS LINK_LIBRARIES)
    get_target_property(value installer ${property})
    if(NOT value STREQUAL "value-NOTFOUND")
      set_property(TARGET ${image} PROPERTY ${property} "${value}")
    endif()
  endforeach()
  set_target_properties(${image} PROPERTIES
    OUTPUT_NAME ${ARG_TARGET}
    RUNTIME_OUTPUT_DIRECTORY ${work}
    ARCHIVE_OUTPUT_DIRECTORY ${work})

  set(finish_options "")
  if(ARG_SIGN_CERT)
    get_filename_component(cert "${ARG_SIGN_CERT}" ABSOLUTE)
    get_filename_component(key "${ARG_SIGN_KEY}" ABSOLUTE)
    set(finish_options -DSIGN_CERT=${cert} -DSIGN_KEY=${key}
        -DOSSLSIGNCODE=${INSTALLER_OSSLSIGNCODE} -DSIGN_TIME=${ARG_SIGN_TIME})
  endif()
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DIN=$<TARGET_FILE:${image}> -DOUT=${ARG_OUTPUT}
            ${finish_options}
            -P ${INSTALLER_PACKAGING_DIR}/finish-installer.cmake
    DEPENDS ${image} ${INSTALLER_PACKAGING_DIR}/finish-installer.cmake
            ${ARG_SIGN_CERT} ${ARG_SIGN_KEY}
    COMMENT "Finishing ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${ARG_TARGET} ALL DEPENDS ${ARG_OUTPUT})
  set_target_properties(${ARG_TARGET} PROPERTIES
    PACKED_INSTALLER_FILE ${ARG_OUTPUT})
endfunction()

# The command-line front's entry: a packed installer from cache variables.
set(INSTALLER_PACK_ARCHIVE "" CACHE FILEPATH
  "Product archive for the packed_installer target (empty: no such target)")
if(INSTALLER_PACK_ARCHIVE)
  set(INSTALLER_PACK_SETUP "" CACHE FILEPATH "Setup program or patch")
  set(INSTALLER_PACK_SETUP_TYPE "BL" CACHE STRING "BL, BN or PATCH")
  set(INSTALLER_PACK_PREVIOUS_VERSION "" CACHE STRING
    "Previous version (empty: none)")
  set(INSTALLER_PACK_SIGN_CERT "" CACHE FILEPATH "Signing certificate (PEM)")
  set(INSTALLER_PACK_SIGN_KEY "" CACHE FILEPATH "Signing key (PEM)")
  set(INSTALLER_PACK_SIGN_TIME "" CACHE STRING "Signing time (Unix seconds)")
  set(INSTALLER_PACK_OUTPUT "" CACHE FILEPATH "Where the installer goes")
  set(pack_options "")
  foreach(option PREVIOUS_VERSION SIGN_CERT SIGN_KEY SIGN_TIME OUTPUT)
    if(NOT INSTALLER_PACK_${option} STREQUAL "")
      list(APPEND pack_options ${option} "${INSTALLER_PACK_${option}}")
    endif()
  endforeach()
  add_packed_installer(TARGET packed_installer
    ARCHIVE "${INSTALLER_PACK_ARCHIVE}" SETUP "${INSTALLER_PACK_SETUP}"
    SETUP_TYPE "${INSTALLER_PACK_SETUP_TYPE}" ${pack_options})
endif()
