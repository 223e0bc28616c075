#include "outcome_report.h"

#include "client_state_key.h"
#include "wide_buf.h"

namespace {

constexpr REGSAM kQueryAndSet = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr size_t kApCapacity = 128;
constexpr uint32_t kSuccessBase = 0x30000;

const wchar_t kFullSuffix[] = L"-full";

HKEY RootFor(const LaunchSettings& settings) {
  return settings.system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

}  // namespace

void MarkFullInstallerChannel(const LaunchSettings& settings) {
  HKEY key = nullptr;
  if (OpenClientStateKey(RootFor(settings), settings.app_guid, kQueryAndSet,
                         &key) != 0) {
    CloseKey(&key);
    return;
  }
  WideBuf<kApCapacity> ap;
  const uint32_t read = ReadStringValue(&key, L"ap", ap.get(), kApCapacity);
  if (read == ERROR_FILE_NOT_FOUND) {
    ap.clear();
  } else if (read != 0) {
    // Another type, or a text too long to end in the buffer, is the update
    // client's business: a rewrite would lose what it holds. (A text of
    // odd size reads without its dangling byte and an empty one as "",
    // and both are written back with the marker.)
    CloseKey(&key);
    return;
  }
  if (!EndsWithNoCase(ap.get(), kFullSuffix) &&
      SafeAppend(ap.get(), kApCapacity, kFullSuffix)) {
    WriteStringValue(&key, L"ap", ap.get());
  }
  CloseKey(&key);
}

void WriteInstallerFailure(const LaunchSettings& settings, ExitResult result) {
  if (result.exit_code == 0) return;
  HKEY key = nullptr;
  if (OpenClientStateKey(RootFor(settings), settings.app_guid, kQueryAndSet,
                         &key) != 0) {
    CloseKey(&key);
    return;
  }
  uint32_t earlier = 0;
  if (ReadDwordValue(&key, L"InstallerResult", &earlier) == 0 && earlier != 0) {
    // The setup program (or an earlier run) knows better what went wrong.
    CloseKey(&key);
    return;
  }
  WriteDwordValue(&key, L"InstallerResult", 1);
  WriteDwordValue(&key, L"InstallerError", result.exit_code);
  WriteDwordValue(&key, L"InstallerExtraCode1", result.windows_error);
  CloseKey(&key);
}

void WriteInstallerSuccess(const LaunchSettings& settings,
                           int32_t max_delete_attempts) {
  HKEY key = nullptr;
  if (OpenClientStateKey(RootFor(settings), settings.app_guid, kQueryAndSet,
                         &key) == 0) {
    uint32_t value = kSuccessBase;
    if (max_delete_attempts >= 2) {
      const uint32_t retries =
          (static_cast<uint32_t>(max_delete_attempts) - 1) & 0xFFFF;
      value |= retries;
    }
    WriteDwordValue(&key, L"InstallerExtraCode1", value);
  }
  CloseKey(&key);
}
