// Finds the payload resources (types "B7", "BL", "BN"), writes the archive
// and the setup resource into the work directory, and expands the setup
// program from its cabinet.
#pragma once

#include <windows.h>

#include <cstdint>

#include "exit_result.h"
#include "file_identity.h"
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

// The caller passes both paths and tags empty. On {0, 0} the archive path
// names the written archive, the setup path the program to run (for a setup
// tag "B7": the written patch), and each tag holds "B7", "BL" or "BN";
// setup_written (may be null) then holds the identity of the file written
// at the setup path. Paths filled before a failure stay filled for the
// caller's cleanup.
ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory,
                         PathBuf* setup_path, TypeTag* setup_tag,
                         PathBuf* archive_path, TypeTag* archive_tag,
                         int32_t* max_delete_attempts,
                         FileIdentity* setup_written = nullptr);

bool EnumPayloadNames(PayloadScan* scan, HMODULE module, const wchar_t* type);

BOOL CALLBACK PayloadNameCallback(HMODULE module, LPCWSTR type, LPWSTR name,
                                  LONG_PTR parameter);
