#include "argument_tail.h"

#include "wide_buf.h"

namespace {

bool IsArgumentBreak(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// Where the arguments begin: just past the program name, by the rule
// Windows itself applies to the first argument. Null when the name's
// opening quote is never closed, so the whole line is the name.
const wchar_t* SkipProgramName(const wchar_t* raw_command_line) {
  const wchar_t* cursor = raw_command_line;
  if (*cursor == L'"') {
    ++cursor;
    while (*cursor != 0 && *cursor != L'"') ++cursor;
    if (*cursor == 0) return nullptr;
    return cursor + 1;
  }
  // Only space and tab end an unquoted name; other control characters
  // (a line feed included) belong to it.
  while (*cursor != 0 && !IsArgumentBreak(*cursor)) ++cursor;
  return cursor;
}

}  // namespace

bool AppendArgumentTail(const wchar_t* raw_command_line,
                        size_t program_name_length, wchar_t* command_line) {
  if (raw_command_line == nullptr) return true;
  const wchar_t* tail = program_name_length != 0
                            ? raw_command_line + program_name_length
                            : SkipProgramName(raw_command_line);
  if (tail == nullptr || *tail == 0) return true;

  // Copied as it stands, quoting and spacing included: the child splits it
  // exactly as the installer's own command line would have been split.
  if (IsArgumentBreak(*tail)) {
    return SafeAppend(command_line, kCmdCapacity, tail);
  }

  // Right after the name's closing quote, text starts a new argument; behind
  // our own last switch it would join that switch, hence the space.
  const size_t end =
      static_cast<size_t>(BoundedLength(command_line, kCmdCapacity));
  if (!SafeAppend(command_line, kCmdCapacity, L" ")) return false;
  if (SafeAppend(command_line, kCmdCapacity, tail)) return true;
  // Half a tail would run the child without some of the user's switches;
  // the caller gives up instead, on the command line as it was.
  command_line[end] = 0;
  return false;
}

int ArgumentsInProgramName(const wchar_t* program_name, size_t length) {
  int arguments = 1;
  for (size_t i = 1; i < length; ++i) {
    if (IsArgumentBreak(program_name[i]) &&
        !IsArgumentBreak(program_name[i - 1])) {
      ++arguments;
    }
  }
  return arguments;
}
