// The outside tools of a packing (gcab for the cabinet, osslsigncode for
// the signature), run to their end with their output kept for the message
// when they fail.
#pragma once

#include <string>
#include <vector>

#include "status.h"

namespace packer {

struct ToolCall {
  std::vector<std::string> arguments;    // the first is looked up on PATH
  std::vector<std::string> environment;  // NAME=VALUE, over the packer's own
  std::string log_path;                  // takes its standard output and error
  std::string package;                   // the Debian package that has it
};

Status RunTool(const ToolCall& call);

}  // namespace packer
