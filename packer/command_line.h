// The packer's command line: one command and its options.
#pragma once

#include <optional>
#include <string>

#include "status.h"

namespace packer {

struct PackRequest {
  std::string stub, archive, setup, output;
  // With PATCH: the setup program the patch must make, whose digest the
  // installer checks before it starts what the patch run made.
  std::string patched_setup;
  std::string setup_type = "BL";
  std::optional<std::string> previous_version, file_version, sign_time;
  std::string sign_cert, sign_key;
  bool setup_runs_elevated = false;  // the installer is always run elevated
};

struct InspectRequest {
  std::string file;
  bool json = false;
};

struct VerifyRequest {
  std::string file, archive, setup, patched_setup;
  std::string setup_type = "BL";
  std::optional<std::string> previous_version;
  // With the stub, the whole file is compared with what packing makes;
  // the options that only change what packing makes come along.
  std::optional<std::string> stub, file_version;
};

struct ExtractRequest {
  std::string file, type, name, output;
  // The user language of the machine whose loader picks the language
  // (a Windows language identifier); the default is English (US).
  std::optional<std::string> language;
};

struct CommandLine {
  std::string command;  // "pack", "inspect", "verify", "extract" or "help"
  PackRequest pack;
  InspectRequest inspect;
  VerifyRequest verify;
  ExtractRequest extract;
};

// Fails with kExitUsage and the reason.
Status ParseCommandLine(int argc, char** argv, CommandLine* command_line);
const char* Usage();

}  // namespace packer
