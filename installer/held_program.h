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
  // The cabinet and uncompressed roads: the bytes this run wrote, by
  // their digest. On a volume without access lists (FAT and exFAT
  // sticks, most shares) anybody may write into the work directory, and a
  // file rewritten in place keeps its name and, on FAT, its identity too:
  // only its bytes tell.
  bool by_content;
  ContentDigest content;
  // The patch road: the file the patch run left, by its identity. The run
  // has no bytes of its own to compare there.
  FileIdentity identity;
};

// The bytes written, by their digest.
ExpectedProgram ExpectContent(const ContentDigest& content);
// The file the patch run left, by its identity.
ExpectedProgram ExpectIdentity(const FileIdentity& identity);

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
  //   - bytes other than the ones written (ERROR_DATA_CHECKSUM_ERROR), or
  //     another file than the one the patch run left (ERROR_FILE_INVALID).
  bool Hold(HANDLE directory, const ExpectedProgram& expected);
  // Harmless when not held, and twice.
  void Release();
};
