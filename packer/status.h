// What a step of the packer reports: success, or an exit code with the one
// line that tells the release engineer what went wrong.
#pragma once

#include <string>

namespace packer {

enum ExitCode : int {
  kExitOk = 0,
  kExitMismatch = 1,  // verify: the payload is not made of those inputs
  kExitUsage = 2,     // the command line itself is wrong
  kExitRefused = 3,   // an input or the output path is refused
  kExitFailed = 4,    // reading, writing or a tool failed on good input
  // An interruption by signal N ends with 128 + N, as a shell reports it.
};

struct Status {
  int exit_code = kExitOk;
  std::string message;
  bool ok() const { return exit_code == kExitOk; }
};

inline Status Ok() { return {}; }
inline Status Refused(std::string message) {
  return {kExitRefused, std::move(message)};
}
inline Status Failed(std::string message) {
  return {kExitFailed, std::move(message)};
}
// "WHAT: <the system's text for ERROR>", exit code kExitFailed.
Status OsFailure(const std::string& what, int error);

// The path as it appears in messages.
std::string Quoted(const std::string& path);

}  // namespace packer
