// The setup program as Windows will see it when the installer starts it
// as "setup.exe" from a process that need not be elevated: its machine,
// its subsystem and the execution level its manifest asks for.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "file_io.h"
#include "resource_tree.h"
#include "status.h"

namespace packer {

struct SetupProgramFacts {
  uint16_t machine = 0;
  bool pe32_plus = false;
  uint16_t subsystem = 0;
  std::vector<std::string> start_refusals;  // see StartRefusals
  bool has_manifest = false;
  std::optional<std::string> level;  // of requestedExecutionLevel
  std::string manifest_problem;      // when the manifest cannot be read
};

// Reads the program's headers and its manifest (RT_MANIFEST 1, the one
// Windows reads for a program). A file that is not an image is refused.
Status ReadSetupProgram(const InputFile& program, SetupProgramFacts* facts);

// The reason Windows would not start it from an installer, refused with
// exit code 3: not a GUI or console program for x64 or x86; a 32-bit one
// that Windows' installer detection takes for an installer (no manifest,
// or none with an execution level), which needs elevation because it is
// called setup.exe; a manifest asking for elevation, unless RUNS_ELEVATED
// says the installer always runs elevated.
// NAMED is how the message begins ("the setup program 'S'").
Status CheckSetupProgram(const std::string& named,
                         const SetupProgramFacts& facts, bool runs_elevated);

// The facts of the setup program a packed image carries as SETUP (a
// cabinet when IS_CABINET), read from its headers and its resource section
// as they stream out of the resource; *PROBLEM says why they cannot be
// had, when they cannot. With DIGEST, the whole program streams out, and
// *DIGEST holds its size and SHA-256 (empty when it cannot be read whole):
// what the installer writes, to be held against the packer's record.
struct ProgramDigest {
  uint64_t size = 0;
  Bytes sha256;
};
Status ReadPackedSetupProgram(const InputFile& image,
                              const ResourceEntry& setup, bool is_cabinet,
                              SetupProgramFacts* facts, std::string* problem,
                              ProgramDigest* digest = nullptr);

// "asInvoker", "no manifest", ...: the execution level as inspect shows it.
std::string LevelText(const SetupProgramFacts& facts);

}  // namespace packer
