#include "input_checks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace packer {
namespace {

// One to four runs of digits separated by single dots.
bool DottedNumbers(const std::string& text, std::vector<std::string>* parts) {
  parts->assign(1, "");
  for (const char c : text) {
    if (c == '.') {
      if (parts->back().empty() || parts->size() == 4) return false;
      parts->emplace_back();
    } else if (c >= '0' && c <= '9') {
      parts->back() += c;
    } else {
      return false;
    }
  }
  return !parts->back().empty();
}

std::string Named(const InputFile& input) {
  return "the " + input.role + " " + Quoted(input.path);
}

}  // namespace

Status CheckPreviousVersion(const std::string& text) {
  std::vector<std::string> parts;
  if (!DottedNumbers(text, &parts)) {
    return Refused("previous version '" + text +
                   "' is not a plain version (one to four "
                   "numbers separated by dots, such as 1.2.3.4)");
  }
  if (text.size() > 64)
    return Refused("previous version '" + text +
                   "' is longer than 64 characters");
  return Ok();
}

Status ParseFileVersion(const std::string& text, VersionNumbers* numbers) {
  std::vector<std::string> parts;
  bool fits = DottedNumbers(text, &parts);
  *numbers = {0, 0, 0, 0};
  for (size_t i = 0; fits && i < parts.size(); ++i) {
    fits = parts[i].size() <= 5 && std::stoul(parts[i]) <= 65535;
    if (fits) (*numbers)[i] = static_cast<uint16_t>(std::stoul(parts[i]));
  }
  if (!fits) {
    return Refused("file version '" + text +
                   "' is not one to four numbers from 0 to 65535 "
                   "separated by dots, such as 118.0.5993.89");
  }
  return Ok();
}

Status CheckSignTime(const std::string& text) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return Refused("--sign-time '" + text + "' is not seconds since 1970");
  }
  return Ok();
}

Status CheckNotEmpty(const InputFile& input) {
  if (input.size == 0) return Refused(Named(input) + " is empty");
  return Ok();
}

Status CheckSevenZipArchive(const InputFile& input) {
  static const uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  uint8_t start[6] = {};
  if (input.size >= sizeof start) {
    Status status = ReadAt(input, 0, start, sizeof start);
    if (!status.ok()) return status;
  }
  if (std::memcmp(start, kSignature, sizeof start) != 0) {
    return Refused(
        Named(input) +
        " is not a 7z archive (it does not begin with the 7z signature)");
  }
  return Ok();
}

Status CheckOutputPath(const std::string& output,
                       const std::vector<const InputFile*>& inputs) {
  if (output.empty()) return {kExitUsage, "the output path is empty"};
  const size_t slash = output.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : output.substr(0, slash + 1);
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Refused("the folder of the output " + Quoted(output) +
                   " does not exist");
  }
  if (stat(output.c_str(), &info) != 0) {
    if (errno == ENOENT) return Ok();
    return Refused("the output " + Quoted(output) +
                   " cannot be looked at: " + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode))
    return Refused("the output " + Quoted(output) + " is a directory");
  for (const InputFile* input : inputs) {
    if (input->file.is_open() && input->device == info.st_dev &&
        input->inode == info.st_ino) {
      return Refused("the output " + Quoted(output) + " is " + Named(*input) +
                     "; packing would replace its own input");
    }
  }
  return Ok();
}

}  // namespace packer
