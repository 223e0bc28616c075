// The setup program, held from the moment it is checked until it has been
// started: the file that is run is the file that was checked, and nobody
// can change, replace or rename it in between.
#pragma once

#include <windows.h>

#include "content_digest.h"
#include "file_identity.h"
#include "wide_buf.h"

// What the program to start must be.
struct ExpectedProgram {
  // Every road: the packed program's bytes, by the SHA-256 the packer
  // recorded. On a volume without access lists (FAT and exFAT sticks, most
  // shares) anybody may write into the work directory, and a file
  // rewritten in place keeps its name and, on FAT, its identity too: only
  // its bytes tell.
  ContentDigest content;
  // How the run read the program when it had written it (or the patch run
  // had made it): not a check, only what tells a refusal's cause.
  ContentDigest written;
  // The patch road also: the file the patch run left, by its identity.
  bool by_identity;
  FileIdentity identity;
};

// The recorded bytes, and the reading of what the run wrote.
ExpectedProgram ExpectContent(const ContentDigest& content,
                              const ContentDigest& written);
// The file the patch run left, holding the recorded bytes.
ExpectedProgram ExpectIdentity(const FileIdentity& identity,
                               const ContentDigest& content,
                               const ContentDigest& written);

// A program's path owned together with the handle that holds it. The hold
// reads the file and shares nothing but reading: starting a program only
// reads its file, so it can still be started, but no name of the file can
// be opened to write, rename or delete it while it is held.
struct HeldProgram {
  PathBuf path;   // the program to start
  HANDLE handle;  // INVALID_HANDLE_VALUE when not held

  HeldProgram();
  ~HeldProgram();
  HeldProgram(const HeldProgram&) = delete;
  HeldProgram& operator=(const HeldProgram&) = delete;

  // Opens the file named by the last component of path inside the
  // directory open on directory (the folder of path, held by the caller).
  // A conflict with someone who has it open for writing (a scanner, a
  // sync client, a process the previous setup program left behind) is
  // waited out with the pauses and attempts of a deletion: whatever such a
  // writer changed, the check below finds. Refuses, with the last error set
  // and nothing held:
  //   - a file that cannot be opened (its own error: not found and the
  //     like, or a sharing violation that outlasted every attempt);
  //   - a directory, a file whose content lies elsewhere (offline, to be
  //     recalled), or any reparse point but those that leave the content
  //     where it is (deduplicated and overlay-compressed files; see
  //     held_program.cc): links, execution aliases, cloud placeholders
  //     and the rest (ERROR_BAD_FILE_TYPE);
  //   - what cannot be compared with expected: the error that kept the
  //     expectation or the held file's digest or identity unknown;
  //   - bytes other than the recorded ones: ERROR_DATA_CHECKSUM_ERROR when
  //     they read as the run read them once written (the cabinet library,
  //     the payload or the patch run made another program), and
  //     ERROR_FILE_INVALID when they were changed since, or the file is
  //     another than the one the patch run left.
  bool Hold(HANDLE directory, const ExpectedProgram& expected);
  // Holds the file named name inside the directory open on directory as it
  // is, unchecked, waiting out a writer as Hold does; path is not looked
  // at. False, with the open's error and nothing held, when it cannot be
  // opened.
  bool HoldAsItIs(HANDLE directory, const wchar_t* name);
  // Harmless when not held, and twice.
  void Release();
};
