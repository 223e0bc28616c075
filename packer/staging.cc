#include "staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "interruption.h"

namespace packer {

StagingDir::~StagingDir() {
  if (path_.empty()) return;
  for (const std::string& name : names_) unlink((path_ + "/" + name).c_str());
  rmdir(path_.c_str());
}

Status StagingDir::Make(const std::string& output) {
  const size_t slash = output.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : output.substr(0, slash + 1);
  const std::string name =
      slash == std::string::npos ? output : output.substr(slash + 1);
  std::string pattern =
      folder + (folder == "." ? "/." : ".") + name + ".XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    return OsFailure("making a staging folder beside " + Quoted(output), errno);
  }
  path_ = pattern;
  return Ok();
}

std::string StagingDir::PathOf(const std::string& name) {
  names_.push_back(name);
  return path_ + "/" + name;
}

Status StagingDir::Publish(const std::string& staged, const std::string& output,
                           unsigned mode) {
  if (chmod(staged.c_str(), mode) != 0)
    return OsFailure("setting the mode of " + Quoted(staged), errno);
  if (Interrupted()) return InterruptedStatus();
  if (std::rename(staged.c_str(), output.c_str()) != 0) {
    return OsFailure("renaming " + Quoted(staged) + " to " + Quoted(output),
                     errno);
  }
  return Ok();
}

}  // namespace packer
