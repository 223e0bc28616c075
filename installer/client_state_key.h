// Registry access for the update client's per-application key. Keys are
// only ever opened, never created or deleted; values are REG_SZ or
// REG_DWORD and nothing else.
//
// Statuses are Windows error codes (0 for success) as the registry returns
// them, plus the few this code produces itself:
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr uint32_t kStatusWrongType = 50;        // ERROR_NOT_SUPPORTED
constexpr uint32_t kStatusKeyPathTooLong = 111;  // ERROR_BUFFER_OVERFLOW
constexpr uint32_t kStatusBadDwordSize = 232;    // ERROR_NO_DATA
constexpr uint32_t kStatusNoTerminator = 234;    // ERROR_MORE_DATA

extern const wchar_t kClientStatePrefix[];

// Opens "Software\Quenby\Update\ClientState\<app_guid>" under root in the
// 32-bit view. The slot keeps an earlier key when the path does not fit;
// otherwise an earlier key is closed first.
uint32_t OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access,
                            HKEY* slot);
void CloseKey(HKEY* slot);

uint32_t ReadStringValue(HKEY* slot, const wchar_t* value_name, wchar_t* buffer,
                         size_t capacity);
uint32_t ReadDwordValue(HKEY* slot, const wchar_t* value_name, uint32_t* value);
void WriteStringValue(HKEY* slot, const wchar_t* value_name,
                      const wchar_t* text);
uint32_t WriteDwordValue(HKEY* slot, const wchar_t* value_name, uint32_t value);

// Terminates a REG_SZ text of byte_size bytes read into buffer: 0 when it
// is a whole text now, kStatusNoTerminator when it fills the buffer with no
// room left for a terminator (the buffer must not be used then). An odd
// trailing byte is dropped.
uint32_t TerminateRegistryText(wchar_t* buffer, size_t capacity,
                               DWORD byte_size);
