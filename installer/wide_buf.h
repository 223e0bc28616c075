// Fixed UTF-16 buffers on the stack and the bounded operations on them.
//
// A buffer of capacity N stores N + 1 units. Every operation is handed N,
// never N + 1, so the last unit (the guard) stays 0 and any scan for a
// terminator ends inside the array whatever a platform call left behind.
// A text that does not fit is a failure (false), never silently cut.
//
// This header needs nothing from Windows so the text functions can also be
// built natively for fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(wchar_t) == 2, "UTF-16 wchar_t required");

template <size_t N>
struct WideBuf {
  static constexpr size_t kCapacity = N;
  wchar_t units[N + 1];

  WideBuf() {
    units[0] = 0;
    units[N] = 0;
  }
  WideBuf(const WideBuf&) = delete;
  WideBuf& operator=(const WideBuf&) = delete;

  wchar_t* get() { return units; }
  const wchar_t* get() const { return units; }
  bool empty() const { return units[0] == 0; }
  void clear() { units[0] = 0; }
};

constexpr size_t kPathCapacity = 260;  // MAX_PATH
constexpr size_t kCmdCapacity = 1040;
constexpr size_t kTypeTagCapacity = 3;

using PathBuf = WideBuf<kPathCapacity>;
using CmdBuf = WideBuf<kCmdCapacity>;
using TypeTag = WideBuf<kTypeTagCapacity>;

// Units before the terminator, at most capacity - 1 (unit capacity - 1 is
// never read). 0 for a null text or a capacity below 2.
uint64_t BoundedLength(const wchar_t* text, size_t capacity);

// Copies source with its terminator. On failure the target reads as empty.
// Copies forward, so source may start later inside the target's own buffer.
bool SafeCopy(wchar_t* target, size_t capacity, const wchar_t* source);

// Appends source with its terminator. On failure the target keeps its text.
bool SafeAppend(wchar_t* target, size_t capacity, const wchar_t* source);

// Upper-case hex digits of count bytes plus a terminator; writes nothing
// unless 2 * count < capacity.
bool HexEncode(const void* bytes, size_t count, wchar_t* target,
               size_t capacity);

// Comparisons fold ASCII A-Z only; every other unit compares exactly.
bool EndsWithNoCase(const wchar_t* text, const wchar_t* suffix);
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);
// First match, or null. A null or empty needle matches at the start.
const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle);

// Position just after the last backslash among the first length units, or
// the start of the path when there is none. Only "\" separates.
const wchar_t* NameFromPath(const wchar_t* path, size_t length);
wchar_t* NameFromPath(wchar_t* path, size_t length);

void* FillBytes(void* target, int value, size_t count);

// Whether path begins with a drive letter, a colon and a backslash.
bool StartsWithDriveRoot(const wchar_t* path);

// Length of a terminated text; the callers only ever pass terminated texts.
size_t TextLength(const wchar_t* text);
