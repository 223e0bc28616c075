// installer-packer: packs, inspects, verifies and takes apart installers
// on the release engineer's machine, without a compiler or linker.
#include <cstdio>

#include "command_line.h"
#include "extract.h"
#include "inspect.h"
#include "interruption.h"
#include "pack.h"
#include "verify.h"

int main(int argc, char** argv) {
  using namespace packer;
  CatchInterruptions();
  CommandLine command_line;
  Status status = ParseCommandLine(argc, argv, &command_line);
  if (status.ok()) {
    const std::string& command = command_line.command;
    if (command == "help") {
      std::fputs(Usage(), stdout);
    } else if (command == "version") {
      std::printf("installer-packer %s\n", PACKER_VERSION);
    } else if (command == "pack") {
      status = Pack(command_line.pack);
    } else if (command == "inspect") {
      status = Inspect(command_line.inspect);
    } else if (command == "verify") {
      status = Verify(command_line.verify);
    } else {
      status = Extract(command_line.extract);
    }
  }
  if (!status.ok()) {
    std::fprintf(stderr, "installer-packer: %s\n", status.message.c_str());
    if (status.exit_code == kExitUsage) std::fputs(Usage(), stderr);
  }
  return status.exit_code;
}
