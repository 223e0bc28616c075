// The packer's command line: one command and its options.
#pragma once

#include <optional>
#include <string>

#include "status.h"

namespace packer {

struct PackRequest {
  std::string stub, archive, setup, output;
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
  std::string file, archive, setup;
  std::string setup_type = "BL";
  std::optional<std::string> previous_version;
};

struct ExtractRequest {
  std::string file, type, name, output;
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
