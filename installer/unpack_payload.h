// Finds the payload resources (types "B7", "BL", "BN"), writes the archive
// and the setup resource into the work directory, and expands the setup
// program from its cabinet.
#pragma once

#include <windows.h>

#include <cstdint>

#include "content_digest.h"
#include "exit_result.h"
#include "held_program.h"
#include "resource_blob.h"
#include "wide_buf.h"

class ResourceCollector {
 public:
  // True lets the enumeration go on; false ends it for this type.
  virtual bool CollectPayloadResource(const wchar_t* name,
                                      const ResourceBlob& blob) = 0;

 protected:
  ~ResourceCollector() = default;
};

// The enumeration context; owns nothing, every field points into the
// caller's storage.
class PayloadScan final : public ResourceCollector {
 public:
  PayloadScan(wchar_t* archive_name, ResourceBlob* archive_blob,
              wchar_t* setup_name, ResourceBlob* setup_blob, uint32_t* error);
  bool CollectPayloadResource(const wchar_t* name,
                              const ResourceBlob& blob) override;

  wchar_t* archive_name;  // PathBuf capacity
  ResourceBlob* archive_blob;
  wchar_t* setup_name;  // PathBuf capacity
  ResourceBlob* setup_blob;
  uint32_t* error;  // Windows error of the current type's scan
};

// work_directory: the held work directory's path, ending in a backslash;
// work_handle: its hold, inside which every file is created by name. The
// caller passes both paths and tags empty. On {0, 0} the archive path names
// the written archive, the setup path the program to run (for a setup tag
// "B7": the written patch), and each tag holds "B7", "BL" or "BN". A path
// is filled only once this run has created the file it names, so that the
// cleanup deletes what the run made and nothing a name planted in the work
// directory stands for; paths filled before a failure stay filled for the
// cleanup.
//
// The packer's record of the setup program is read before anything is
// written: an installer without one is refused (115, with the error that
// kept it unknown). *expected (may be null) then holds the record and, on
// the cabinet and uncompressed roads, the reading of the program as the
// run wrote it; on the patch road the patch run has yet to make it.
ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory,
                         HANDLE work_handle, PathBuf* setup_path,
                         TypeTag* setup_tag, PathBuf* archive_path,
                         TypeTag* archive_tag, int32_t* max_delete_attempts,
                         ExpectedProgram* expected = nullptr);

bool EnumPayloadNames(PayloadScan* scan, HMODULE module, const wchar_t* type);

BOOL CALLBACK PayloadNameCallback(HMODULE module, LPCWSTR type, LPWSTR name,
                                  LONG_PTR parameter);
