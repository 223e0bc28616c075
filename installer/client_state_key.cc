#include "client_state_key.h"

#include "wide_buf.h"

const wchar_t kClientStatePrefix[] = L"Software\\Quenby\\Update\\ClientState\\";

uint32_t TerminateRegistryText(wchar_t* buffer, size_t capacity,
                               DWORD byte_size) {
  if (byte_size < 2) {
    buffer[0] = 0;
    return 0;
  }
  const size_t n = byte_size / 2;
  if (buffer[n - 1] == 0) return 0;
  if (n >= capacity) return kStatusNoTerminator;
  buffer[n] = 0;
  return 0;
}

uint32_t OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access,
                            HKEY* slot) {
  PathBuf path;
  if (!SafeCopy(path.get(), kPathCapacity, kClientStatePrefix) ||
      !SafeAppend(path.get(), kPathCapacity, app_guid)) {
    return kStatusKeyPathTooLong;
  }
  CloseKey(slot);
  return static_cast<uint32_t>(
      RegOpenKeyExW(root, path.get(), 0, access | KEY_WOW64_32KEY, slot));
}

void CloseKey(HKEY* slot) {
  if (*slot == nullptr) return;
  HKEY key = *slot;
  *slot = nullptr;
  RegCloseKey(key);
}

uint32_t ReadStringValue(HKEY* slot, const wchar_t* value_name, wchar_t* buffer,
                         size_t capacity) {
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(capacity * 2);
  const LONG status = RegQueryValueExW(*slot, value_name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (type != REG_SZ) return kStatusWrongType;
  return TerminateRegistryText(buffer, capacity, size);
}

uint32_t ReadDwordValue(HKEY* slot, const wchar_t* value_name,
                        uint32_t* value) {
  DWORD type = 0;
  DWORD size = 4;
  const LONG status = RegQueryValueExW(*slot, value_name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(value), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (type != REG_DWORD) return kStatusWrongType;
  return size == 4 ? 0 : kStatusBadDwordSize;
}

void WriteStringValue(HKEY* slot, const wchar_t* value_name,
                      const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>((TextLength(text) + 1) * 2);
  RegSetValueExW(*slot, value_name, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text), bytes);
}

uint32_t WriteDwordValue(HKEY* slot, const wchar_t* value_name,
                         uint32_t value) {
  return static_cast<uint32_t>(
      RegSetValueExW(*slot, value_name, 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&value), 4));
}
