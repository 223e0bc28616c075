// Text the packer prints: numbers in hex, UTF-16 resource names and
// version strings as UTF-8, and strings inside JSON.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

std::string Hex(uint64_t value);
std::string Utf8(const std::u16string& text);
std::u16string Utf16FromAscii(const std::string& text);
// TEXT between double quotes, escaped for JSON.
std::string JsonString(const std::string& text);

}  // namespace packer
