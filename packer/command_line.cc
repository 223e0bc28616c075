#include "command_line.h"

#include <map>
#include <set>
#include <vector>

namespace packer {
namespace {

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

Status UsageError(const std::string& message) { return {kExitUsage, message}; }

Status Split(int argc, char** argv, const std::set<std::string>& with_value,
             const std::set<std::string>& flags, size_t positional_count,
             Arguments* arguments) {
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.compare(0, 2, "--") != 0) {
      arguments->positional.push_back(argument);
    } else if (flags.count(argument) != 0) {
      arguments->options[argument] = "";
    } else if (with_value.count(argument) == 0) {
      return UsageError("unknown option " + argument + " for " + argv[1]);
    } else if (i + 1 >= argc) {
      return UsageError(argument + " needs a value");
    } else if (!arguments->options.emplace(argument, argv[++i]).second) {
      return UsageError(argument + " is given twice");
    }
  }
  if (arguments->positional.size() != positional_count) {
    return UsageError(std::string(argv[1]) + " takes " +
                      std::to_string(positional_count) +
                      (positional_count == 1 ? " file" : " arguments") +
                      " besides its options");
  }
  return Ok();
}

// Moves a required option into *VALUE.
Status Take(Arguments* arguments, const std::string& name, std::string* value) {
  auto found = arguments->options.find(name);
  if (found == arguments->options.end())
    return UsageError(name + " is required");
  *value = found->second;
  return Ok();
}

void TakeOptional(Arguments* arguments, const std::string& name,
                  std::optional<std::string>* value) {
  auto found = arguments->options.find(name);
  if (found != arguments->options.end()) *value = found->second;
}

Status ParsePack(int argc, char** argv, PackRequest* request) {
  Arguments arguments;
  Status status =
      Split(argc, argv,
            {"--stub", "--archive", "--setup", "--output", "--setup-type",
             "--previous-version", "--file-version", "--sign-cert",
             "--sign-key", "--sign-time", "--patched-setup"},
            {"--setup-runs-elevated"}, 0, &arguments);
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string*>>{
           {"--stub", &request->stub},
           {"--archive", &request->archive},
           {"--setup", &request->setup},
           {"--output", &request->output}}) {
    if (status.ok()) status = Take(&arguments, name, value);
  }
  if (!status.ok()) return status;
  std::optional<std::string> setup_type, cert, key, patched;
  TakeOptional(&arguments, "--setup-type", &setup_type);
  TakeOptional(&arguments, "--patched-setup", &patched);
  request->patched_setup = patched.value_or("");
  TakeOptional(&arguments, "--sign-cert", &cert);
  TakeOptional(&arguments, "--sign-key", &key);
  TakeOptional(&arguments, "--previous-version", &request->previous_version);
  TakeOptional(&arguments, "--file-version", &request->file_version);
  TakeOptional(&arguments, "--sign-time", &request->sign_time);
  request->setup_type = setup_type.value_or("BL");
  request->sign_cert = cert.value_or("");
  request->sign_key = key.value_or("");
  request->setup_runs_elevated =
      arguments.options.count("--setup-runs-elevated") != 0;
  return Ok();
}

}  // namespace

Status ParseCommandLine(int argc, char** argv, CommandLine* command_line) {
  if (argc < 2) return UsageError("no command given");
  command_line->command = argv[1];
  const std::string& command = command_line->command;
  if (command == "-h" || command == "--help" || command == "help") {
    command_line->command = "help";
    return Ok();
  }
  if (command == "--version") {
    command_line->command = "version";
    return Ok();
  }
  if (command == "pack") return ParsePack(argc, argv, &command_line->pack);
  Arguments arguments;
  Status status;
  if (command == "inspect") {
    status = Split(argc, argv, {}, {"--json"}, 1, &arguments);
    if (!status.ok()) return status;
    command_line->inspect = {arguments.positional[0],
                             arguments.options.count("--json") != 0};
    return Ok();
  }
  if (command == "verify") {
    VerifyRequest& request = command_line->verify;
    status =
        Split(argc, argv,
              {"--archive", "--setup", "--setup-type", "--previous-version",
               "--patched-setup", "--stub", "--file-version"},
              {}, 1, &arguments);
    if (status.ok()) status = Take(&arguments, "--archive", &request.archive);
    if (status.ok()) status = Take(&arguments, "--setup", &request.setup);
    if (!status.ok()) return status;
    request.file = arguments.positional[0];
    std::optional<std::string> setup_type, patched;
    TakeOptional(&arguments, "--setup-type", &setup_type);
    TakeOptional(&arguments, "--previous-version", &request.previous_version);
    TakeOptional(&arguments, "--patched-setup", &patched);
    TakeOptional(&arguments, "--stub", &request.stub);
    TakeOptional(&arguments, "--file-version", &request.file_version);
    request.setup_type = setup_type.value_or("BL");
    request.patched_setup = patched.value_or("");
    return Ok();
  }
  if (command == "extract") {
    ExtractRequest& request = command_line->extract;
    status = Split(argc, argv, {"--output", "--language"}, {}, 3, &arguments);
    if (status.ok()) status = Take(&arguments, "--output", &request.output);
    TakeOptional(&arguments, "--language", &request.language);
    if (status.ok()) {
      request.file = arguments.positional[0];
      request.type = arguments.positional[1];
      request.name = arguments.positional[2];
    }
    return status;
  }
  return UsageError("unknown command '" + command + "'");
}

const char* Usage() {
  return R"(usage:
  installer-packer pack --stub installer.exe --archive ARCHIVE.7z --setup FILE
      --output OUT.exe [--setup-type BL|BN|PATCH --patched-setup NEW.exe]
      [--previous-version V] [--file-version A.B.C.D] [--setup-runs-elevated]
      [--sign-cert CERT.pem --sign-key KEY.pem [--sign-time SECONDS]]
  installer-packer inspect FILE [--json]
  installer-packer verify FILE --archive ARCHIVE.7z --setup FILE
      [--setup-type BL|BN|PATCH --patched-setup NEW.exe] [--previous-version V]
      [--stub installer.exe [--file-version A.B.C.D]]
  installer-packer extract FILE TYPE NAME --output OUT [--language ID]
  installer-packer --version

pack     writes OUT.exe: the stub with the archive and the setup program as
         resources. BL (default): the setup program as the MSZIP cabinet
         "SETUP.EX_" (made with gcab); BN: the setup program as it is;
         PATCH: FILE is a patch for the installed setup program (needs
         --previous-version, and --patched-setup: the program the patch
         must make). The installer starts only a setup program with the
         SHA-256 recorded here. --file-version stamps the version block.
         A setup program that asks for elevation is refused unless
         --setup-runs-elevated says the installer always runs elevated.
         Signing (osslsigncode) comes last and covers the whole file.
inspect  lists what an installer carries and what is wrong with it.
verify   exits 0 only when FILE carries exactly what packing ARCHIVE and
         FILE with these options puts in, as the installer reads it. With
         --stub, only when FILE is byte for byte what packing makes, but
         for its signature, which must be whole and cover the file.
extract  writes one resource's bytes (TYPE and NAME: a number, "#" and a
         number, or a name), in the language the loader takes on a
         machine whose user language is ID (default 1033, English (US)).
--version  the packer's version, which is that of the installer.exe built
         from the same tree.

exit codes: 0 done; 1 verify found another payload; 2 bad command line;
3 refused input or output path; 4 reading, writing or a tool failed;
128+N interrupted by signal N. Nothing is written unless the command
succeeds.
)";
}

}  // namespace packer
