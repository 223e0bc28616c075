// The private work directory next to the installer: "ZK_" + five upper-case
// hex digits + ".tmp", with a protected access list on local volumes that
// keep persistent ACLs.
#pragma once

#include <windows.h>

#include "exit_result.h"
#include "run_token.h"
#include "wide_buf.h"
#include "work_place.h"

// The access list before the owner SID; the SID and ")" follow it.
extern const wchar_t kWorkDirAclPrefix[];

// An empty file each run makes in its work directory before anything
// else: it tells a folder a run made, and may take back whole, from a
// folder of somebody else's that only bears a name like ours.
extern const wchar_t kRunMarkerName[];

// "ZK_" + five digits + ".tmp" and the terminator.
constexpr size_t kWorkNameCapacity = 13;

// The work directory, owned together with the handle that holds it from
// the moment it is created until the cleanup deletes it.
//
// The hold lists, traverses and reads attributes, and shares reading and
// writing but not deletion: nobody can rename the directory away, put
// another object (a link above all) in its place, or delete it, while the
// setup program and the tools it starts may make it their current
// directory (Windows opens a current directory for traversal, which
// counts as reading, sharing reading and writing only) and list it. On
// NTFS a directory with something open beneath it cannot be renamed
// either, so the folders of its path stay where they are.
//
// Everything the run does inside the directory goes through the hold, by
// name. Its path serves only what must be a path: the setup program's
// start and the paths its command line hands on. That path is the one the
// system reports for the held directory itself, with every link and
// junction on the way resolved, so no link the user owns can redirect it.
struct WorkDirectory {
  PathBuf path;   // the held directory's own path + "\\"; empty when none
  HANDLE handle;  // the hold; INVALID_HANDLE_VALUE when there is none
  // Whether handle may delete the directory: only once the cleanup has
  // traded the hold for such a handle (Retake).
  bool deletable;
  // The same directory opened for its attributes alone, which takes no
  // part in sharing and so keeps nobody out, but lets the run open the
  // very same directory again without looking up any name (Retake).
  HANDLE anchor;
  // The installer's folder as it was opened to create the directory in.
  // What killed runs left beside it is reclaimed through this same
  // handle, so that both land in the folder the run started from whatever
  // its path names by then; released once that is done.
  HANDLE folder;
  WideBuf<kWorkNameCapacity> name;  // the directory's name inside folder

  WorkDirectory();
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  bool IsHeld() const;
  // Lets go of the directory, leaving it where it is (when the cleanup is
  // turned off, or after it was marked for deletion), and of the folder.
  // Harmless twice.
  void Release();
  void ReleaseHold();
  void ReleaseFolder();
  // Lets go of the hold and opens the directory again through the anchor:
  // with delete access when for_deletion (which nobody else may then have
  // open without sharing deletion: the reason the hold cannot carry it),
  // else as the hold. False with the last error (a sharing violation
  // while another process has it open so) and nothing held.
  bool Retake(bool for_deletion);
};

// base: the installer directory, ending in a backslash, where the
// directory is made unless token must not work there (NeedsProtectedPlace:
// then in ProtectedPlacePath, never in base). On success work
// holds the directory's own path + "\", the hold on the directory, made in
// one step with it, and the installer's folder, with the run's marker
// made inside (where it could be: a run without it is only reclaimed by
// name, should it be killed); *status is {0, 0}.
// Otherwise *status is 108 (the base does not fit; or the directory's own
// path cannot be had or does not fit, windows_error then the system's
// error or 0), 109 or 117; nothing was left behind and nothing is held.
bool CreateWorkDirectory(const wchar_t* base, WorkDirectory* work,
                         ExitResult* status,
                         const RunToken& token = PlainRunToken());

// True with a null descriptor when a folder on a volume classified so
// (ClassifyFolderVolume) needs none (it is not a local one with access
// lists), true with a descriptor (released by the caller with LocalFree)
// when one was built, false when one was needed but could not be built
// (see GetLastError). high_label adds a high mandatory label that forbids
// writing up, inherited by everything inside; only a token of high
// integrity may set it.
bool BuildWorkDirSecurity(FolderVolume volume, PSECURITY_DESCRIPTOR* descriptor,
                          bool high_label = false);

// The four name bytes of one try after the random draw: when the draw
// failed (drawn false), the try number is mixed in so that the ten tries
// still ask for ten different names.
void MixTryIntoNameBytes(unsigned char bytes[4], bool drawn,
                         unsigned try_index);

// The process token's owner SID in string form; release with LocalFree.
bool GetTokenOwnerSidString(wchar_t** sid);

// Whether the DOS path the system reports for an open object ("\\?\C:\...")
// leads from the root of the object's own volume, whose GUID path
// ("\\?\Volume{...}\...") names the same object: false when the drive
// letter is another volume's, on which this one is mounted in a folder.
// That folder (a mount point) lies on the other volume, where no hold on
// this one pins it: the DOS path could be led elsewhere by replacing it.
// True when either is not of its form (a UNC path, say), which leaves the
// DOS path as it is.
bool DosPathStartsAtItsVolume(const wchar_t* dos_path,
                              const wchar_t* guid_path);

// Turns a path the system reports for an open object ("\\?\C:\...",
// "\\?\UNC\server\share\...") into the ordinary form the setup program and
// every other program understand ("C:\...", "\\server\share\...") when
// that form names the very same object; keeps the "\\?\" form otherwise (a
// folder name ending in a dot or a space, which the ordinary form would
// trim, or a volume without a drive letter). False when the result does
// not fit capacity.
bool PlainFormOfFinalPath(const wchar_t* final_path, wchar_t* out,
                          size_t capacity);
