// The application manifest of a program: what it asks Windows for when
// Windows starts it. Only the requested execution level matters here.
#pragma once

#include <optional>
#include <string>

#include "bytes.h"

namespace packer {

// The "level" of requestedExecutionLevel where Windows looks for it
// (assembly, trustInfo, security, requestedPrivileges; by local name, with
// any namespace prefix), or none when the manifest has no such element.
// Comments, CDATA and processing instructions are skipped. False, with
// *PROBLEM, when the text ends inside markup. The manifest is UTF-8, or
// UTF-16 with its byte-order mark.
bool ReadExecutionLevel(const Bytes& manifest,
                        std::optional<std::string>* level,
                        std::string* problem);

}  // namespace packer
