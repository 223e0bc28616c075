// The checks an input passes before anything is written: versions that
// are plain numbers, payload files of the right kind, signing options that
// go together, and an output path that is none of the inputs.
#pragma once

#include <string>
#include <vector>

#include "file_io.h"
#include "status.h"
#include "version_block.h"

namespace packer {

// Resources are addressed with 32-bit sizes and the image must still load:
// two gigabytes is a generous ceiling for what a loader maps in one piece.
// 2 GiB itself is one byte too many.
constexpr uint64_t kPayloadLimit = 2147483647;

// The previous version: one to four numbers separated by dots, at most 64
// characters. Digits and dots only, because the installer passes it to the
// setup program and looks for it in the installed setup program's path.
Status CheckPreviousVersion(const std::string& text);
// The version to stamp: one to four numbers up to 65535, the missing ones 0.
Status ParseFileVersion(const std::string& text, VersionNumbers* numbers);
Status CheckSignTime(const std::string& text);

Status CheckNotEmpty(const InputFile& input);
// The 7z signature at the start: a setup program or another file given as
// the archive would otherwise be installed as the product.
Status CheckSevenZipArchive(const InputFile& input);

// OUTPUT must lie in an existing folder, must not be a folder, and must not
// be (a name of) any of INPUTS: the output replaces whatever it names.
Status CheckOutputPath(const std::string& output,
                       const std::vector<const InputFile*>& inputs);

}  // namespace packer
