// Everything a command writes is made in a private folder beside its
// output and appears under the output's name by one rename once complete.
// On every path the files named through PathOf are removed, then the
// folder, so a failure or an interruption leaves the output's folder as it
// was; a file a tool wrote there under a name of its own stays, and keeps
// the folder with it.
#pragma once

#include <string>
#include <vector>

#include "status.h"

namespace packer {

class StagingDir {
 public:
  StagingDir() = default;
  ~StagingDir();
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;

  // A hidden folder ".NAME.XXXXXX" beside OUTPUT.
  Status Make(const std::string& output);
  // The path of a file NAME inside it, removed with the folder.
  std::string PathOf(const std::string& name);
  // Gives the staged file STAGED (a path from PathOf) its MODE and renames
  // it to OUTPUT.
  Status Publish(const std::string& staged, const std::string& output,
                 unsigned mode);

 private:
  std::string path_;
  std::vector<std::string> names_;
};

}  // namespace packer
