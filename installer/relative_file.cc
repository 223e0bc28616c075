#include "relative_file.h"

#include <winternl.h>

#include "system_library.h"
#include "wide_buf.h"

namespace {

constexpr ULONG kSynchronousIo = 0x20;    // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE, as Win32
// A success status: the open completed, but only because it was asked not
// to wait for an oplock break that is still going on.
constexpr NTSTATUS kOplockBreakInProgress = 0x108;

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK,
                                        POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                        ULONG, PVOID, ULONG);
using StatusToErrorFn = ULONG(NTAPI*)(NTSTATUS);
using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID,
                                                PIO_STATUS_BLOCK, PVOID, ULONG,
                                                ULONG, BOOLEAN, PUNICODE_STRING,
                                                BOOLEAN);

constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000F);

// NtCreateFile relative to directory; an empty name opens the object of
// directory itself, anew.
HANDLE Open(HANDLE directory, const wchar_t* name, size_t length,
            ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
            PSECURITY_DESCRIPTOR descriptor) {
  const NtCreateFileFn nt_create_file = reinterpret_cast<NtCreateFileFn>(
      reinterpret_cast<void*>(NtdllFunction("NtCreateFile")));
  const StatusToErrorFn status_to_error = reinterpret_cast<StatusToErrorFn>(
      reinterpret_cast<void*>(NtdllFunction("RtlNtStatusToDosError")));
  if (nt_create_file == nullptr || status_to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (directory == nullptr || directory == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name);
  object_name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  FillBytes(&attributes, 0, sizeof attributes);
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = directory;
  attributes.ObjectName = &object_name;
  attributes.Attributes = kCaseInsensitive;
  attributes.SecurityDescriptor = descriptor;
  IO_STATUS_BLOCK io;
  FillBytes(&io, 0, sizeof io);
  HANDLE opened = nullptr;
  const NTSTATUS status =
      nt_create_file(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, share, disposition,
                     options | kSynchronousIo, nullptr, 0);
  if (status < 0 || opened == nullptr) {
    DWORD error = status < 0 ? status_to_error(status) : ERROR_INVALID_HANDLE;
    // As CreateFileW reports a name that is taken when it must make a new
    // file.
    if (disposition == kCreateNew && error == ERROR_ALREADY_EXISTS) {
      error = ERROR_FILE_EXISTS;
    }
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (status == kOplockBreakInProgress) {
    CloseHandle(opened);
    SetLastError(kErrorOplockBreakInProgress);
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

}  // namespace

HANDLE OpenRelative(HANDLE directory, const wchar_t* name, ACCESS_MASK access,
                    ULONG share, ULONG disposition, ULONG options,
                    PSECURITY_DESCRIPTOR descriptor) {
  // An empty name would open the directory itself: never by accident.
  const size_t length = TextLength(name);
  if (length == 0 || length >= kPathCapacity) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return Open(directory, name, length, access, share, disposition, options,
              descriptor);
}

HANDLE Reopen(HANDLE handle, ACCESS_MASK access, ULONG share, ULONG options) {
  return Open(handle, L"", 0, access, share, kOpenExisting, options, nullptr);
}

DWORD ListEntries(HANDLE directory, void* buffer, ULONG size,
                  ULONG information_class, const wchar_t* mask, bool restart) {
  const NtQueryDirectoryFileFn query = reinterpret_cast<NtQueryDirectoryFileFn>(
      reinterpret_cast<void*>(NtdllFunction("NtQueryDirectoryFile")));
  const StatusToErrorFn status_to_error = reinterpret_cast<StatusToErrorFn>(
      reinterpret_cast<void*>(NtdllFunction("RtlNtStatusToDosError")));
  if (query == nullptr || status_to_error == nullptr) {
    return ERROR_PROC_NOT_FOUND;
  }
  UNICODE_STRING filter;
  filter.Buffer = const_cast<wchar_t*>(mask);
  filter.Length = static_cast<USHORT>((mask == nullptr ? 0 : TextLength(mask)) *
                                      sizeof(wchar_t));
  filter.MaximumLength = filter.Length;
  IO_STATUS_BLOCK io;
  FillBytes(&io, 0, sizeof io);
  const NTSTATUS status =
      query(directory, nullptr, nullptr, nullptr, &io, buffer, size,
            information_class, FALSE, mask == nullptr ? nullptr : &filter,
            restart ? TRUE : FALSE);
  // A first call that matches nothing says so with its own status.
  if (status == kNoMoreFiles || status == kNoSuchFile) {
    return ERROR_NO_MORE_FILES;
  }
  // Warnings (a buffer too small for even one entry) are failures too:
  // nothing usable was read.
  if (status != 0) return status_to_error(status);
  return io.Information == 0 ? ERROR_NO_MORE_FILES : 0;
}

const wchar_t* LastComponent(const wchar_t* path) {
  return NameFromPath(path, TextLength(path));
}
