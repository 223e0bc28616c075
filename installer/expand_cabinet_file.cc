#include "expand_cabinet_file.h"

#include <fdi.h>

#include "relative_file.h"
#include "scratch_file.h"
#include "system_library.h"
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

// Where the cabinet is, for CabinetOpen: its name inside the held
// directory.
struct CabinetSource {
  HANDLE directory;
  const wchar_t* name;
};

struct CabinetCopyContext {
  HANDLE directory;
  const wchar_t* target_path;
  ScratchFile output;
  // The size the cabinet declares for the file, from the copy-file
  // notification; the file counts as complete only at this size.
  DWORD expected_size;
  bool created;  // the target was created by this expansion
  unsigned char succeeded;
};

constexpr int kOpenWriteOnly = 0x1;
constexpr int kOpenReadWrite = 0x2;
constexpr int kOpenCreate = 0x100;
constexpr INT_PTR kAbort = -1;
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE;

bool LoadCabinetLibrary() {
  if (g_cabinet_api.module != nullptr) return true;
  g_cabinet_api.module = LoadSystemLibrary(L"cabinet.dll");
  if (g_cabinet_api.module == nullptr) return false;
  ++g_cabinet_api.load_count;
  return true;
}

// GetProcAddress hands back a generic function pointer; going through void*
// keeps the conversion to the real signature free of warnings.
template <typename Fn>
Fn LookUp(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(g_cabinet_api.module, name)));
}

// The cabinet library takes the cabinet's name as narrow text of at most
// 256 bytes, which a wide path of a deep or non-Latin folder need not fit,
// and would open it by that path. It is handed a short token instead,
// "cab:" and the sixteen hex digits of the address of the cabinet's
// CabinetSource; CabinetOpen, which gets no context of its own, turns the
// token back into that source and opens the cabinet inside the held
// directory. Nothing else is ever opened, so a cabinet cannot make the
// library open a file of its choosing.
constexpr char kTokenPrefix[] = "cab:";
constexpr size_t kTokenPrefixLength = sizeof kTokenPrefix - 1;
constexpr size_t kTokenDigits = 2 * sizeof(UINT_PTR);
constexpr size_t kTokenLength = kTokenPrefixLength + kTokenDigits;
const char kHexDigits[] = "0123456789ABCDEF";

void FormatCabinetToken(const CabinetSource* source,
                        char (&token)[kTokenLength + 1]) {
  UINT_PTR value = reinterpret_cast<UINT_PTR>(source);
  for (size_t i = 0; i < kTokenPrefixLength; ++i) token[i] = kTokenPrefix[i];
  for (size_t i = kTokenLength; i > kTokenPrefixLength; --i) {
    token[i - 1] = kHexDigits[value & 0xF];
    value >>= 4;
  }
  token[kTokenLength] = 0;
}

// The source a token names; null for anything that is not a whole token.
const CabinetSource* ParseCabinetToken(const char* token) {
  for (size_t i = 0; i < kTokenPrefixLength; ++i) {
    if (token[i] != kTokenPrefix[i]) return nullptr;
  }
  UINT_PTR value = 0;
  for (size_t i = kTokenPrefixLength; i < kTokenLength; ++i) {
    const char digit = token[i];
    UINT_PTR nibble = 0;
    if (digit >= '0' && digit <= '9') {
      nibble = static_cast<UINT_PTR>(digit - '0');
    } else if (digit >= 'A' && digit <= 'F') {
      nibble = static_cast<UINT_PTR>(digit - 'A') + 10;
    } else {
      return nullptr;
    }
    value = (value << 4) | nibble;
  }
  if (token[kTokenLength] != 0) return nullptr;
  return reinterpret_cast<const CabinetSource*>(value);
}

HANDLE AsHandle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

void* DIAMONDAPI CabinetAlloc(ULONG count) {
  return HeapAlloc(GetProcessHeap(), 0, count);
}

void DIAMONDAPI CabinetFree(void* block) {
  HeapFree(GetProcessHeap(), 0, block);
}

// The library only ever opens the cabinet itself, to read it; anything
// else it asks for (writing, creating) is refused.
INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int /*mode*/) {
  const CabinetSource* source = ParseCabinetToken(name);
  if (source == nullptr ||
      (flags & (kOpenWriteOnly | kOpenReadWrite | kOpenCreate)) != 0) {
    return kAbort;
  }
  return reinterpret_cast<INT_PTR>(
      OpenRelative(source->directory, source->name, GENERIC_READ,
                   FILE_SHARE_READ | FILE_SHARE_DELETE, kOpenExisting,
                   kFileOnly | kNotThroughLinks));
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
  if (!context->output.Create(context->directory, context->target_path)) {
    return kAbort;
  }
  context->created = true;
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

// The cabinet is always named by a path with a folder; a path whose only
// separator, if any, is its first character is refused.
bool HasFolder(const wchar_t* path) {
  const size_t length = TextLength(path);
  for (size_t i = length; i > 1; --i) {
    if (path[i - 1] == L'\\') return true;
  }
  return false;
}

}  // namespace

bool ExpandCabinetFile(HANDLE directory, const wchar_t* cabinet_path,
                       const wchar_t* target_path, bool digest,
                       WrittenFile* written) {
  written->created = false;
  written->content = UnknownContent(0);
  if (!LoadCabinetLibrary()) return false;
  g_cabinet_api.fdi_create = LookUp<FdiCreateFn>("FDICreate");
  g_cabinet_api.fdi_destroy = LookUp<FdiDestroyFn>("FDIDestroy");
  g_cabinet_api.fdi_copy = LookUp<FdiCopyFn>("FDICopy");
  if (g_cabinet_api.fdi_create == nullptr ||
      g_cabinet_api.fdi_destroy == nullptr ||
      g_cabinet_api.fdi_copy == nullptr) {
    return false;
  }
  if (!HasFolder(cabinet_path)) return false;

  ERF error;
  FillBytes(&error, 0, sizeof error);
  HFDI fdi = g_cabinet_api.fdi_create(CabinetAlloc, CabinetFree, CabinetOpen,
                                      CabinetRead, CabinetWrite, CabinetClose,
                                      CabinetSeek, cpuUNKNOWN, &error);
  if (fdi == nullptr) return false;

  CabinetCopyContext context;
  context.directory = directory;
  context.target_path = target_path;
  context.expected_size = 0;
  context.created = false;
  context.succeeded = 0;
  CabinetSource source;
  source.directory = directory;
  source.name = LastComponent(cabinet_path);
  // The library joins folder and name; the token alone is the whole name.
  char token[kTokenLength + 1];
  FormatCabinetToken(&source, token);
  char no_folder[1] = {0};
  // An abort, which the close-file answer always causes, is reported as a
  // failure; whether the first file arrived is what counts.
  g_cabinet_api.fdi_copy(fdi, token, no_folder, 0, CabinetNotify, nullptr,
                         &context);
  g_cabinet_api.fdi_destroy(fdi);

  written->created = context.created;
  if (context.succeeded) {
    FlushFileBuffers(context.output.Handle());
    // Read back through the run's own handle, which nobody else can have
    // written through: these are the bytes the library wrote.
    if (digest) {
      written->content = DigestFileContent(context.output.Handle(), false);
    }
  } else if (context.output.IsOpen()) {
    context.output.MarkDeleteOnClose();
  }
  context.output.Close();
  return context.succeeded != 0;
}

int CabinetLibraryLoadCount() { return g_cabinet_api.load_count; }
