// Handing the installer's own arguments on to a child command line. Pure
// text, free of Windows headers so that it can be fuzzed natively.
#pragma once

#include <cstddef>

// Appends to command_line (capacity 1040) everything raw_command_line holds
// after its program name, verbatim. program_name_length, when not 0, is
// where the program name ends: the caller found the installer's own path
// there, unquoted, followed by white space or the end (a launcher that
// passes no command line makes Windows use the bare path, spaces and all).
// When 0, the name ends where Windows ends the first argument. False when
// the tail does not fit whole: the command line then keeps its old text,
// and the caller must not run a child without the user's switches.
bool AppendArgumentTail(const wchar_t* raw_command_line,
                        size_t program_name_length, wchar_t* command_line);

// How many arguments, as Windows splits a command line, the first length
// units of an unquoted program name make: one, and one more for each run
// of spaces and tabs inside it.
int ArgumentsInProgramName(const wchar_t* program_name, size_t length);
