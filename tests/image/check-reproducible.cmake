# Builds installer.exe a second time, from the same sources in another
# build directory, and fails unless the two files are byte-identical: no
# timestamp and no build path may reach the image.
#   cmake -DSOURCE_DIR=... -DREFERENCE=... -DWORK_DIR=... -DTOOLCHAIN=...
#         -P check-reproducible.cmake
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/other-build-path
          -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
          -DINSTALLER_BUILD_TESTS=OFF
  RESULT_VARIABLE configured OUTPUT_QUIET)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "second configure failed")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/other-build-path
          --target installer
  RESULT_VARIABLE built OUTPUT_QUIET)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "second build failed")
endif()
set(second ${WORK_DIR}/other-build-path/installer/installer.exe)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${REFERENCE} ${second}
  RESULT_VARIABLE differ)
file(SHA256 ${REFERENCE} first_hash)
file(SHA256 ${second} second_hash)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "installer.exe differs between two builds:\n"
    "  ${REFERENCE} ${first_hash}\n  ${second} ${second_hash}")
endif()
message(STATUS "installer.exe reproducible (${first_hash})")
file(REMOVE_RECURSE ${WORK_DIR})
