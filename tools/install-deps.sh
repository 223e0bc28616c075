#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing on
# a Debian machine. Does nothing when everything is there.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
# The presets generate Makefiles, and Debian's cmake only recommends make,
# which the install below leaves out.
have make || need+=(make)
# The format check and the analysis list the files git knows of.
have git || need+=(git)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-windres || need+=(binutils-mingw-w64-x86-64)
have x86_64-w64-mingw32-objdump || need+=(binutils-mingw-w64-x86-64)
have wine64 || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
have gcab || need+=(gcab)
have cabextract || need+=(cabextract)
have 7z || have 7zz || need+=(7zip)  # Debian 12 names it 7zz
have osslsigncode || need+=(osslsigncode)
# The packer (packer/), a host program: compiler, zlib and OpenSSL headers;
# its layout test reads packed files with Debian's pefile.
have g++ || need+=(g++)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
/usr/bin/python3 -c 'import pefile' 2>/dev/null || need+=(python3-pefile)
# bench/pack-bench.sh: peak memory, and the programs a packing runs
[ -x /usr/bin/time ] || need+=(time)
have strace || need+=(strace)
have flock || need+=(util-linux)
have mount || need+=(mount)
have openssl || need+=(openssl)  # throwaway signing certificate in the tests
have perl || need+=(perl)        # the crowded folder of the fault tests
# bench/bench.sh: its stage table comes from perf trace and a python reader
have perf || need+=(linux-perf)
have pgrep || need+=(procps)
have python3 || need+=(python3)
# tools/fuzz.sh: clang with libFuzzer's runtime (a recommendation of clang
# only, so never pulled in by the install below)
have clang++-14 || need+=(clang-14)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' \
  >/dev/null || need+=(libclang-rt-14-dev)
# the second compiler's linker, the format check and the static analysis
have ld.lld-14 || need+=(lld-14)
have clang-format-14 || need+=(clang-format-14)
have clang-tidy-14 || need+=(clang-tidy-14)
# the image check reads imports and the load configuration with LLVM's reader
have llvm-readobj-14 || need+=(llvm-14)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${need[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
