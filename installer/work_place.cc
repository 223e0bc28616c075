#include "work_place.h"

#include <winternl.h>

#include "system_library.h"

namespace {

// The volume's device, as NtQueryVolumeInformationFile reports it.
struct DeviceInformation {
  ULONG device_type;
  ULONG characteristics;
};
constexpr ULONG kFileFsDeviceInformation = 4;
constexpr ULONG kRemoteDevice = 0x10;  // FILE_REMOTE_DEVICE

using NtQueryVolumeInformationFileFn = NTSTATUS(NTAPI*)(HANDLE,
                                                        PIO_STATUS_BLOCK, PVOID,
                                                        ULONG, ULONG);
using GetTempPath2WFn = DWORD(WINAPI*)(DWORD, LPWSTR);

// "\\?\" + "Volume{GUID}\" is the longest root the system reports for a
// local volume.
constexpr size_t kRootCapacity = 64;

// The device says remote; false too when it cannot be asked (*asked false).
bool DeviceIsRemote(HANDLE folder, bool* asked) {
  *asked = false;
  const NtQueryVolumeInformationFileFn query =
      reinterpret_cast<NtQueryVolumeInformationFileFn>(reinterpret_cast<void*>(
          NtdllFunction("NtQueryVolumeInformationFile")));
  if (query == nullptr) return false;
  DeviceInformation device;
  FillBytes(&device, 0, sizeof device);
  IO_STATUS_BLOCK io;
  FillBytes(&io, 0, sizeof io);
  *asked =
      query(folder, &io, &device, sizeof device, kFileFsDeviceInformation) >= 0;
  return *asked && (device.characteristics & kRemoteDevice) != 0;
}

// The drive type of the folder's volume, by the root of its own path:
// "X:\" or "\\?\Volume{GUID}\"; DRIVE_REMOTE for a UNC path, and
// DRIVE_UNKNOWN when the path cannot be had.
UINT DriveTypeOf(HANDLE folder) {
  PathBuf final_path;
  DWORD length = GetFinalPathNameByHandleW(folder, final_path.get(),
                                           kPathCapacity, VOLUME_NAME_DOS);
  if (length == 0) {
    length = GetFinalPathNameByHandleW(folder, final_path.get(), kPathCapacity,
                                       VOLUME_NAME_GUID);
  }
  if (length == 0 || length >= kPathCapacity) return DRIVE_UNKNOWN;
  const wchar_t* path = final_path.get();
  if (StartsWithNoCase(path, L"\\\\?\\UNC\\")) return DRIVE_REMOTE;
  if (StartsWithNoCase(path, L"\\\\?\\")) path += 4;
  WideBuf<kRootCapacity> root;
  if (StartsWithDriveRoot(path)) {
    SafeCopy(root.get(), kRootCapacity, L"X:\\");
    root.units[0] = path[0];
  } else {
    // "\\?\Volume{GUID}\...": the root is everything up to its backslash.
    size_t end = 0;
    while (path[end] != 0 && path[end] != L'\\') ++end;
    if (path[end] != L'\\' || end + 6 > kRootCapacity) return DRIVE_UNKNOWN;
    SafeCopy(root.get(), kRootCapacity, L"\\\\?\\");
    for (size_t i = 0; i <= end; ++i) root.units[4 + i] = path[i];
    root.units[5 + end] = 0;
  }
  return GetDriveTypeW(root.get());
}

}  // namespace

FolderVolume ClassifyFolderVolume(HANDLE folder) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr,
                                     &flags, nullptr, 0)) {
    return FolderVolume::kUnknown;
  }
  bool asked = false;
  if (DeviceIsRemote(folder, &asked)) return FolderVolume::kRemote;
  const UINT drive = DriveTypeOf(folder);
  if (drive == DRIVE_REMOTE) return FolderVolume::kRemote;
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return FolderVolume::kNoAccessLists;
  const bool local_drive = drive == DRIVE_FIXED || drive == DRIVE_REMOVABLE ||
                           drive == DRIVE_RAMDISK;
  return asked && local_drive ? FolderVolume::kProtects
                              : FolderVolume::kUnknown;
}

bool NeedsProtectedPlace(const RunToken& token, FolderVolume volume) {
  return RunsAboveTheUser(token) && volume != FolderVolume::kProtects;
}

bool ProtectedPlacePath(const RunToken& token, PathBuf* path) {
  path->clear();
  if (token.local_system) {
    const GetTempPath2WFn temp_path2 = reinterpret_cast<GetTempPath2WFn>(
        reinterpret_cast<void*>(Kernel32Function("GetTempPath2W")));
    if (temp_path2 != nullptr) {
      const DWORD length = temp_path2(kPathCapacity, path->get());
      if (length > 0 && length < kPathCapacity) return true;
      path->clear();
    }
  }
  const UINT length = GetSystemWindowsDirectoryW(path->get(), kPathCapacity);
  if (length == 0) return false;
  if (length >= kPathCapacity ||
      !SafeAppend(path->get(), kPathCapacity, L"\\Temp\\")) {
    path->clear();
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return false;
  }
  return true;
}
