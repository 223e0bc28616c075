#include "unpack_payload.h"

#include "delete_with_retry.h"
#include "expand_cabinet_file.h"
#include "relative_file.h"
#include "scratch_file.h"
#include "setup_record.h"

namespace {

// Payload types, scanned in this order.
const wchar_t* const kPayloadTypes[] = {L"B7", L"BL", L"BN"};

constexpr uint32_t kErrorInvalidData = 13;   // ERROR_INVALID_DATA
constexpr uint32_t kErrorTooManyNames = 68;  // ERROR_TOO_MANY_NAMES
constexpr uint32_t kErrorNameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr uint32_t kErrorNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr uint32_t kArchiveTagFailed = 112;
constexpr uint32_t kSetupTagFailed = 1462;

bool IsTag(const TypeTag& tag, const wchar_t* type) {
  return lstrcmpW(tag.get(), type) == 0;
}

// Resource names become file names inside the work directory; one that
// could climb out of it, or name a stream or a device path, is refused as
// a bad name. So is one ending in a dot or a space: the file is made under
// that very name, but the path handed to the setup program would lose it.
bool IsPlainFileName(const wchar_t* name) {
  if (name[0] == 0) return false;
  const wchar_t* p = name;
  for (; *p != 0; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':' || *p < 0x20) return false;
  }
  return p[-1] != L'.' && p[-1] != L' ';
}

// Fills path with work_directory + name; false (path empty) when it does
// not fit.
bool JoinPath(PathBuf* path, const wchar_t* work_directory,
              const wchar_t* name) {
  if (SafeCopy(path->get(), kPathCapacity, work_directory) &&
      SafeAppend(path->get(), kPathCapacity, name)) {
    return true;
  }
  path->clear();
  return false;
}

}  // namespace

PayloadScan::PayloadScan(wchar_t* archive_name_out,
                         ResourceBlob* archive_blob_out,
                         wchar_t* setup_name_out, ResourceBlob* setup_blob_out,
                         uint32_t* error_out)
    : archive_name(archive_name_out),
      archive_blob(archive_blob_out),
      setup_name(setup_name_out),
      setup_blob(setup_blob_out),
      error(error_out) {}

bool PayloadScan::CollectPayloadResource(const wchar_t* name,
                                         const ResourceBlob& blob) {
  wchar_t* slot_name = nullptr;
  ResourceBlob* slot_blob = nullptr;
  if (StartsWithNoCase(name, L"korven")) {
    slot_name = archive_name;
    slot_blob = archive_blob;
  } else if (StartsWithNoCase(name, L"setup")) {
    slot_name = setup_name;
    slot_blob = setup_blob;
  } else {
    *error = kErrorInvalidData;
    return false;
  }
  if (!IsPlainFileName(name)) {
    *error = kErrorInvalidData;
    return false;
  }
  if (slot_blob->size != 0) {
    *error = kErrorTooManyNames;
    return false;
  }
  if (!SafeCopy(slot_name, kPathCapacity, name)) {
    *error = kErrorNameTooLong;
    return false;
  }
  *slot_blob = blob;
  return true;
}

BOOL CALLBACK PayloadNameCallback(HMODULE module, LPCWSTR type, LPWSTR name,
                                  LONG_PTR parameter) {
  PayloadScan* scan = reinterpret_cast<PayloadScan*>(parameter);
  // An integer identifier, or anything that cannot be had, ends this type's
  // scan without an error; a payload missed that way shows up as absent.
  if (scan == nullptr || IS_INTRESOURCE(name)) return FALSE;
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return FALSE;
  const DWORD size = SizeofResource(module, found);
  if (size == 0) return FALSE;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return FALSE;
  const void* data = LockResource(loaded);
  if (data == nullptr) return FALSE;
  ResourceBlob blob;
  blob.data = data;
  blob.size = size;
  return scan->CollectPayloadResource(name, blob) ? TRUE : FALSE;
}

bool EnumPayloadNames(PayloadScan* scan, HMODULE module, const wchar_t* type) {
  return EnumResourceNamesW(module, type, PayloadNameCallback,
                            reinterpret_cast<LONG_PTR>(scan)) != FALSE;
}

ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory,
                         HANDLE work_handle, PathBuf* setup_path,
                         TypeTag* setup_tag, PathBuf* archive_path,
                         TypeTag* archive_tag, int32_t* max_delete_attempts,
                         ExpectedProgram* expected) {
  if (expected != nullptr) {
    *expected = ExpectContent(UnknownContent(0), UnknownContent(0));
  }
  PathBuf archive_name;
  PathBuf setup_name;
  ResourceBlob archive_blob = {nullptr, 0};
  ResourceBlob setup_blob = {nullptr, 0};
  uint32_t error = 0;

  for (const wchar_t* type : kPayloadTypes) {
    error = 0;
    PayloadScan scan(archive_name.get(), &archive_blob, setup_name.get(),
                     &setup_blob, &error);
    // A type absent from the module is not an error.
    EnumPayloadNames(&scan, module, type);
    if (error != 0) {
      const bool archive_found =
          BoundedLength(archive_tag->get(), kTypeTagCapacity) != 0;
      return MakeExitResult(
          archive_found ? EXIT_SETUP_UNPACK_FAILED : EXIT_ARCHIVE_UNPACK_FAILED,
          error);
    }
    if (archive_tag->empty() && archive_blob.size != 0 &&
        !SafeCopy(archive_tag->get(), kTypeTagCapacity, type)) {
      return MakeExitResult(EXIT_SETUP_WRITE_FAILED, kArchiveTagFailed);
    }
    if (setup_tag->empty() && setup_blob.size != 0 &&
        !SafeCopy(setup_tag->get(), kTypeTagCapacity, type)) {
      return MakeExitResult(EXIT_SETUP_WRITE_FAILED, kSetupTagFailed);
    }
  }

  if (archive_blob.size == 0) {
    return MakeExitResult(EXIT_ARCHIVE_UNPACK_FAILED, kErrorNotFound);
  }
  if (setup_blob.size == 0) {
    return MakeExitResult(EXIT_SETUP_UNPACK_FAILED, kErrorNotFound);
  }
  // Without the record nothing could tell the packed program from another
  // one: nothing is written.
  const ContentDigest record = ReadSetupRecord(module);
  if (!record.known) {
    return MakeExitResult(EXIT_SETUP_UNPACK_FAILED, record.error);
  }
  if (expected != nullptr) expected->content = record;

  // Each path is filled while its file is written and kept only when this
  // run created that file.
  WrittenFile written;
  if (!JoinPath(archive_path, work_directory, archive_name.get())) {
    return MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  }
  if (!WriteResourceToFile(archive_blob, work_handle, archive_path->get(),
                           false, &written)) {
    const DWORD write_error = GetLastError();
    if (!written.created) archive_path->clear();
    return MakeExitResult(EXIT_ARCHIVE_UNPACK_FAILED, write_error);
  }

  const bool cabinet = IsTag(*setup_tag, L"BL");
  // A patch is the previous setup program's input, never started itself.
  const bool patch = IsTag(*setup_tag, L"B7");
  const wchar_t* setup_file_name =
      IsTag(*setup_tag, L"BN") ? L"setup.exe" : setup_name.get();
  if (!JoinPath(setup_path, work_directory, setup_file_name)) {
    return MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  }
  if (!WriteResourceToFile(setup_blob, work_handle, setup_path->get(),
                           !cabinet && !patch, &written)) {
    const DWORD write_error = GetLastError();
    if (!written.created) setup_path->clear();
    return MakeExitResult(EXIT_SETUP_WRITE_FAILED, write_error);
  }

  if (!cabinet) {
    if (expected != nullptr) expected->written = written.content;
    return MakeExitResult(0, 0);
  }

  PathBuf expanded;
  if (!JoinPath(&expanded, work_directory, L"setup.exe")) {
    return MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  }
  const bool expanded_ok = ExpandCabinetFile(work_handle, setup_path->get(),
                                             expanded.get(), true, &written);
  // The cabinet is of no use once expansion was tried, whatever its outcome.
  int32_t attempts = 0;
  DeleteInDirectory(work_handle, LastComponent(setup_path->get()), &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
  // From here the setup path names the expanded program, if this run made
  // one; a "setup.exe" that was already there is not the run's.
  if (written.created) {
    SafeCopy(setup_path->get(), kPathCapacity, expanded.get());
  } else {
    setup_path->clear();
  }
  if (!expanded_ok) return MakeExitResult(EXIT_SETUP_UNPACK_FAILED, 0);
  if (expected != nullptr) expected->written = written.content;
  return MakeExitResult(0, 0);
}
