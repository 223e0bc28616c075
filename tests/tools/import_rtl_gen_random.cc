// import_rtl_gen_random.exe: imports advapi32's SystemFunction036
// (RtlGenRandom) statically and draws four bytes with it; exits 0 when the
// draw succeeded. The positive control of the canary case: on Windows the
// export forwards to cryptbase.dll, which the loader resolves before the
// entry point runs, through the standard search that begins in the
// program's own folder.
#include <windows.h>

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  unsigned char bytes[4] = {};
  return SystemFunction036(bytes, sizeof bytes) ? 0 : 1;
}
