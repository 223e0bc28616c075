// Handing the installer's own arguments on to a child command line. Pure
// text, free of Windows headers so that it can be fuzzed natively.
#pragma once

// Appends to command_line (capacity 1040) everything raw_command_line holds
// after its program name, verbatim. False when that tail does not fit
// whole: the command line then keeps its old text, and the caller must not
// run a child without the user's switches.
bool AppendArgumentTail(const wchar_t* raw_command_line, wchar_t* command_line);
