// Random bytes from the system's generator, resolved at run time.
#pragma once

#include <windows.h>

// Fills buffer with length random bytes. False (the buffer's content then
// unspecified) when the generator cannot be reached or fails.
//
// The generator is advapi32's SystemFunction036, which Windows forwards to
// cryptbase.dll, a library outside the KnownDLLs. Imported, that forwarder
// would be resolved while the loader binds the installer's imports, before
// any code of ours runs, by the search that begins in the installer's own
// folder: a cryptbase.dll in the user's Downloads would run inside the
// installer. Looked up here instead, after the entry point has cut the
// search down to the system directory, and with cryptbase.dll loaded by its
// full path in the system directory first, the forwarder can only reach
// the system's own file.
bool DrawRandomBytes(void* buffer, ULONG length);
