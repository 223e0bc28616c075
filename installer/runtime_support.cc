// What the compiler may call on its own in a program built without any C or
// C++ runtime: block fills and copies for struct zeroing and copies, and the
// handler a pure virtual call would reach. Linked into installer.exe only;
// the tests take the runtime's own versions.
//
// The byte loops go through volatile pointers so that the optimiser cannot
// turn them back into calls to the very functions they define.
#include <windows.h>

#include <cstddef>

extern "C" {

void* memset(void* target, int value, size_t count) {
  volatile unsigned char* out = static_cast<unsigned char*>(target);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value);
  return target;
}

void* memcpy(void* target, const void* source, size_t count) {
  volatile unsigned char* out = static_cast<unsigned char*>(target);
  const unsigned char* in = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; ++i) out[i] = in[i];
  return target;
}

void* memmove(void* target, const void* source, size_t count) {
  volatile unsigned char* out = static_cast<unsigned char*>(target);
  const unsigned char* in = static_cast<const unsigned char*>(source);
  if (out < in) {
    for (size_t i = 0; i < count; ++i) out[i] = in[i];
  } else {
    for (size_t i = count; i > 0; --i) out[i - 1] = in[i - 1];
  }
  return target;
}

// A pure virtual call is a programming error; end the process rather than
// run on. The name is the one the compiler calls.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
void __cxa_pure_virtual() { ExitProcess(255); }
}
