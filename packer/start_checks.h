// What keeps Windows from starting an image as a program, as far as its
// headers show it: the checks CreateProcess and the loader make before
// any code of the program runs.
#pragma once

#include <string>
#include <vector>

#include "pe_image.h"

namespace packer {

// Each reason in a few words; empty when the headers show none.
std::vector<std::string> StartRefusals(const PeImage& image);

}  // namespace packer
