# Puts a linked installer at its final place, signed with Authenticode when
# a certificate and key are given. The result appears under its final name
# only when complete, so an interrupted or failed signing never leaves an
# unsigned file where a signed one is expected.
#
#   cmake -DIN=linked.exe -DOUT=final.exe
#         [-DSIGN_CERT=cert.pem -DSIGN_KEY=key.pem -DOSSLSIGNCODE=osslsigncode
#          -DSIGN_TIME=unix-seconds] -P finish-installer.cmake
#
# The signature carries a signing time: SIGN_TIME, else SOURCE_DATE_EPOCH,
# else the current time. With a fixed time the signed file is the same
# from build to build (the RSA signature itself is deterministic).

cmake_minimum_required(VERSION 3.25)

set(partial "${OUT}.partial")
file(REMOVE "${partial}")

if(SIGN_CERT OR SIGN_KEY)
  foreach(input SIGN_CERT SIGN_KEY)
    if(NOT EXISTS "${${input}}")
      message(FATAL_ERROR "packaging: ${input} '${${input}}' does not exist")
    endif()
  endforeach()
  if(NOT OSSLSIGNCODE)
    set(OSSLSIGNCODE osslsigncode)
  endif()
  set(time_option "")
  if(NOT SIGN_TIME STREQUAL "")
    set(time_option -time ${SIGN_TIME})
  elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(time_option -time $ENV{SOURCE_DATE_EPOCH})
  endif()
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs "${SIGN_CERT}" -key "${SIGN_KEY}"
            -h sha256 ${time_option} -in "${IN}" -out "${partial}"
    RESULT_VARIABLE signed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT signed EQUAL 0)
    file(REMOVE "${partial}" "${OUT}")
    message(FATAL_ERROR "packaging: signing failed:\n${log}")
  endif()
else()
  file(COPY_FILE "${IN}" "${partial}")
endif()
file(CHMOD "${partial}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${partial}" "${OUT}")
