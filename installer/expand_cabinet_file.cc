#include "expand_cabinet_file.h"

#include <fdi.h>

#include "scratch_file.h"
#include "wide_buf.h"

namespace {

using FdiCreateFn = decltype(&FDICreate);
using FdiCopyFn = decltype(&FDICopy);
using FdiDestroyFn = decltype(&FDIDestroy);

// The one piece of process-wide state: cabinet.dll stays loaded once found,
// so a later call neither searches nor loads again. Constant-initialised,
// as there is no runtime to run constructors.
struct CabinetApi {
  HMODULE module;
  FdiCreateFn fdi_create;
  FdiCopyFn fdi_copy;
  FdiDestroyFn fdi_destroy;
  int load_count;
};

CabinetApi g_cabinet_api = {nullptr, nullptr, nullptr, nullptr, 0};

struct CabinetCopyContext {
  const wchar_t* target_path;
  ScratchFile output;
  // The size the cabinet declares for the file, from the copy-file
  // notification; the file counts as complete only at this size.
  DWORD expected_size;
  unsigned char succeeded;
};

// Full paths only: a cabinet.dll planted beside the installer (a download
// folder) must never be the one that runs.
const wchar_t* const kCabinetLibraryPaths[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};

constexpr int kOpenWriteOnly = 0x1;
constexpr int kOpenReadWrite = 0x2;
constexpr int kOpenCreate = 0x100;
constexpr INT_PTR kAbort = -1;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY |
                                  FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE;

bool LoadCabinetLibrary() {
  if (g_cabinet_api.module != nullptr) return true;
  for (const wchar_t* candidate : kCabinetLibraryPaths) {
    PathBuf expanded;
    const DWORD count = ExpandEnvironmentStringsW(candidate, expanded.get(),
                                                  kPathCapacity);
    if (count < 1 || count > kPathCapacity) continue;
    g_cabinet_api.module =
        LoadLibraryExW(expanded.get(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (g_cabinet_api.module != nullptr) {
      ++g_cabinet_api.load_count;
      return true;
    }
  }
  return false;
}

// GetProcAddress hands back a generic function pointer; going through void*
// keeps the conversion to the real signature free of warnings.
template <typename Fn>
Fn LookUp(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(g_cabinet_api.module, name)));
}

// The UTF-8 form of count units of text (-1: up to and with the
// terminator) in a process-heap block, always terminated; null on failure.
char* ToUtf8(const wchar_t* text, int count) {
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr,
                          nullptr);
  if (bytes <= 0) return nullptr;
  const SIZE_T block_size = static_cast<SIZE_T>(bytes) + (count < 0 ? 0 : 1);
  char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, block_size));
  if (block == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, text, count, block, bytes, nullptr,
                          nullptr) != bytes) {
    HeapFree(GetProcessHeap(), 0, block);
    return nullptr;
  }
  block[block_size - 1] = 0;
  return block;
}

HANDLE AsHandle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

void* DIAMONDAPI CabinetAlloc(ULONG count) {
  return HeapAlloc(GetProcessHeap(), 0, count);
}

void DIAMONDAPI CabinetFree(void* block) {
  HeapFree(GetProcessHeap(), 0, block);
}

INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int /*mode*/) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (units <= 0) return kAbort;
  wchar_t* wide = static_cast<wchar_t*>(HeapAlloc(
      GetProcessHeap(), 0, static_cast<SIZE_T>(units) * sizeof(wchar_t)));
  if (wide == nullptr) return kAbort;
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, units) != units) {
    HeapFree(GetProcessHeap(), 0, wide);
    return kAbort;
  }
  DWORD access = GENERIC_READ;
  if (flags & kOpenReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & kOpenWriteOnly) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (flags & kOpenCreate) ? CREATE_ALWAYS
                                                  : OPEN_EXISTING;
  HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  HeapFree(GetProcessHeap(), 0, wide);
  return reinterpret_cast<INT_PTR>(file);
}

UINT DIAMONDAPI CabinetRead(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!ReadFile(AsHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

UINT DIAMONDAPI CabinetWrite(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!WriteFile(AsHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

int DIAMONDAPI CabinetClose(INT_PTR file) {
  return CloseHandle(AsHandle(file)) ? 0 : -1;
}

LONG DIAMONDAPI CabinetSeek(INT_PTR file, LONG distance, int seek_type) {
  return static_cast<LONG>(SetFilePointer(AsHandle(file), distance, nullptr,
                                          static_cast<DWORD>(seek_type)));
}

INT_PTR CopyFileNotification(CabinetCopyContext* context,
                             const FDINOTIFICATION* notification) {
  // Only the first file may reach the target. Some cabinet libraries carry
  // on with the next file after the first is closed; creating the target
  // again would replace the finished file, so any later file ends the copy.
  if (context->succeeded || context->output.IsOpen()) return kAbort;
  if (!context->output.Create(context->target_path)) return kAbort;
  HANDLE duplicate = context->output.Duplicate();
  if (duplicate == INVALID_HANDLE_VALUE) return kAbort;
  context->expected_size = static_cast<DWORD>(notification->cb);
  return reinterpret_cast<INT_PTR>(duplicate);
}

// Some cabinet libraries announce the end of a file even after its data
// failed to decompress (a truncated or damaged cabinet), leaving a short
// file behind; only a file of the declared size is taken as complete.
bool HasExpectedSize(const CabinetCopyContext* context, HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) &&
         size.QuadPart == static_cast<LONGLONG>(context->expected_size);
}

INT_PTR CloseFileNotification(CabinetCopyContext* context,
                              const FDINOTIFICATION* notification) {
  HANDLE file = AsHandle(notification->hf);
  if (!HasExpectedSize(context, file)) {
    CloseHandle(file);
    return kAbort;
  }
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof info);
  // The stored date and time are local; zero times leave the file
  // system's own values, so only the creation time is set.
  FILETIME local;
  FILETIME universal;
  if (DosDateTimeToFileTime(notification->date, notification->time, &local) &&
      LocalFileTimeToFileTime(&local, &universal)) {
    info.CreationTime.LowPart = universal.dwLowDateTime;
    info.CreationTime.HighPart = static_cast<LONG>(universal.dwHighDateTime);
  }
  info.FileAttributes = notification->attribs & kKeptAttributes;
  SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info);
  CloseHandle(file);
  context->succeeded = 1;
  return kAbort;
}

INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE type,
                                 PFDINOTIFICATION notification) {
  CabinetCopyContext* context =
      static_cast<CabinetCopyContext*>(notification->pv);
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return 0;
    case fdintCOPY_FILE:
      return CopyFileNotification(context, notification);
    case fdintCLOSE_FILE_INFO:
      return CloseFileNotification(context, notification);
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
    default:
      return kAbort;
  }
}

// FDICopy takes the directory (with its trailing backslash) and the file
// name apart. False for a path whose only separator, if any, is its first
// character.
bool SplitCabinetPath(const wchar_t* path, char** name, char** directory) {
  *name = nullptr;
  *directory = nullptr;
  const size_t length = TextLength(path);
  // The conversion takes the directory's length as an int.
  if (length >= 0x7FFFFFFF) return false;
  size_t separator = 0;
  for (size_t i = length; i > 1; --i) {
    if (path[i - 1] == L'\\') {
      separator = i - 1;
      break;
    }
  }
  if (separator == 0) return false;
  *name = ToUtf8(path + separator + 1, -1);
  *directory = ToUtf8(path, static_cast<int>(separator + 1));
  return *name != nullptr && *directory != nullptr;
}

void FreeBlock(char* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace

bool ExpandCabinetFile(const wchar_t* cabinet_path, const wchar_t* target_path) {
  if (!LoadCabinetLibrary()) return false;
  g_cabinet_api.fdi_create = LookUp<FdiCreateFn>("FDICreate");
  g_cabinet_api.fdi_destroy = LookUp<FdiDestroyFn>("FDIDestroy");
  g_cabinet_api.fdi_copy = LookUp<FdiCopyFn>("FDICopy");
  if (g_cabinet_api.fdi_create == nullptr ||
      g_cabinet_api.fdi_destroy == nullptr ||
      g_cabinet_api.fdi_copy == nullptr) {
    return false;
  }

  char* name = nullptr;
  char* directory = nullptr;
  if (!SplitCabinetPath(cabinet_path, &name, &directory)) {
    FreeBlock(directory);
    FreeBlock(name);
    return false;
  }

  ERF error;
  FillBytes(&error, 0, sizeof error);
  HFDI fdi = g_cabinet_api.fdi_create(CabinetAlloc, CabinetFree, CabinetOpen,
                                      CabinetRead, CabinetWrite, CabinetClose,
                                      CabinetSeek, cpuUNKNOWN, &error);
  if (fdi == nullptr) {
    FreeBlock(directory);
    FreeBlock(name);
    return false;
  }

  CabinetCopyContext context;
  context.target_path = target_path;
  context.expected_size = 0;
  context.succeeded = 0;
  // An abort, which the close-file answer always causes, is reported as a
  // failure; whether the first file arrived is what counts.
  g_cabinet_api.fdi_copy(fdi, name, directory, 0, CabinetNotify, nullptr,
                         &context);
  g_cabinet_api.fdi_destroy(fdi);

  if (context.succeeded) {
    FlushFileBuffers(context.output.Handle());
  } else if (context.output.IsOpen()) {
    context.output.MarkDeleteOnClose();
  }
  context.output.Close();
  FreeBlock(directory);
  FreeBlock(name);
  return context.succeeded != 0;
}

int CabinetLibraryLoadCount() { return g_cabinet_api.load_count; }
