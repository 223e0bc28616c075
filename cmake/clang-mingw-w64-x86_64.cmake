# Cross build for 64-bit Windows with Debian's clang-14 and lld-14, on the
# same mingw-w64 headers and libraries as the GCC build (including GCC's
# libstdc++ and libgcc, which the tests and ___chkstk_ms need).
#
# Debian's clang-14 does not find the mingw-w64 GCC by itself (it cannot read
# a version directory named "12-posix") and then falls back on the host's
# /usr/include, so the sysroot and GCC's directories are named here.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-target.cmake)

find_program(CMAKE_C_COMPILER NAMES clang-14 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++-14 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_triple})
set(CMAKE_SYSROOT /usr/${_triple})

find_program(_mingw_gcc NAMES ${_triple}-gcc-posix ${_triple}-gcc REQUIRED)
execute_process(COMMAND ${_mingw_gcc} -print-libgcc-file-name
  OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(_gcc_dir ${_libgcc} DIRECTORY)
set(_cxx_headers ${_gcc_dir}/include/c++)
if(NOT EXISTS ${_cxx_headers}/cstddef)
  message(FATAL_ERROR "no libstdc++ headers in ${_cxx_headers}")
endif()

set(CMAKE_CXX_FLAGS_INIT "-isystem ${_cxx_headers} -isystem ${_cxx_headers}/${_triple} -isystem ${_cxx_headers}/backward")
# -B finds GCC's crtbegin.o and crtend.o, -L its libraries.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-fuse-ld=lld-14 -B${_gcc_dir}/ -L${_gcc_dir}")
endforeach()

# No libraries by default but winpthreads, which the posix-thread libgcc
# refers to and GCC's driver adds on its own. An archive lends only what is
# referred to, so a program that never reaches libgcc's thread code
# (installer.exe) gets nothing of it.
set(CMAKE_C_STANDARD_LIBRARIES "-lpthread" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread" CACHE STRING "" FORCE)
