// The setup program, held from the moment it is checked until it has been
// started: the file that is run is the file that was checked, and nobody
// can change, replace or rename it in between.
#pragma once

#include <windows.h>

#include "file_identity.h"
#include "wide_buf.h"

// A program's path owned together with the handle that holds it. The hold
// reads the file and shares nothing but reading: starting a program only
// reads its file, so it can still be started, but no other name of the
// file can be opened to write, rename or delete it while it is held.
struct HeldProgram {
  PathBuf path;   // the program to start
  HANDLE handle;  // INVALID_HANDLE_VALUE when not held

  HeldProgram();
  ~HeldProgram();
  HeldProgram(const HeldProgram&) = delete;
  HeldProgram& operator=(const HeldProgram&) = delete;

  // Opens the file at path. A conflict with someone who has it open for
  // writing (a scanner, a sync client, a process the previous setup
  // program left behind) is waited out with the pauses and attempts of a
  // deletion. Refuses, with the last error set and nothing held:
  //   - a file that cannot be opened (its own error: not found and the
  //     like, or a sharing violation that outlasted every attempt);
  //   - a directory, or a symbolic link or junction in the file's place
  //     (ERROR_BAD_FILE_TYPE); other reparse points (cloud placeholders,
  //     deduplicated files) are ordinary files;
  //   - when written is known, a file that is not that one
  //     (ERROR_FILE_INVALID).
  bool Hold(const FileIdentity& written);
  // Harmless when not held, and twice.
  void Release();
};
