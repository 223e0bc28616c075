// Links a Windows program can make itself: a directory junction (what
// "mklink /J" makes; no privilege needed) and a file symbolic link (needs
// the symbolic-link privilege, or developer mode). Header-only, so that the
// setup program stand-in, which links nothing of the tests, can use it too.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

namespace links {

// The fixed part of a mount point's reparse data (REPARSE_DATA_BUFFER in
// the driver kit's ntifs.h, which windows.h does not carry), followed by
// the two names, each with its terminator.
struct MountPointHeader {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
};

// Makes link (created empty when absent) a junction leading to target, an
// absolute path such as "C:\dir". False with the Windows error when not.
inline bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  const bool made = CreateDirectoryW(link.c_str(), nullptr) != FALSE;
  if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const HANDLE handle = CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + target;
  std::wstring names = substitute + L'\0' + target + L'\0';
  MountPointHeader header = {};
  header.tag = IO_REPARSE_TAG_MOUNT_POINT;
  header.substitute_length = static_cast<WORD>(substitute.size() * 2);
  header.print_offset = static_cast<WORD>(header.substitute_length + 2);
  header.print_length = static_cast<WORD>(target.size() * 2);
  // The data counts from the first offset field on.
  header.data_length = static_cast<WORD>(8 + names.size() * 2);
  std::vector<char> buffer(sizeof header + names.size() * 2);
  CopyMemory(buffer.data(), &header, sizeof header);
  CopyMemory(buffer.data() + sizeof header, names.data(), names.size() * 2);
  DWORD returned = 0;
  const BOOL linked = DeviceIoControl(
      handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(handle);
  // Wine 8 refuses the request (ERROR_NOT_SUPPORTED): no empty folder stays.
  if (!linked && made) RemoveDirectoryW(link.c_str());
  SetLastError(error);
  return linked != FALSE;
}

// A file symbolic link at link leading to target: without the privilege
// first (developer mode allows that), then as a holder of the privilege.
// True only when a link is really there (Wine 8 reports success and makes
// nothing).
inline bool MakeFileSymbolicLink(const std::wstring& link,
                                 const std::wstring& target) {
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
      !CreateSymbolicLinkW(link.c_str(), target.c_str(), 0)) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace links
