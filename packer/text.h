// Text the packer prints: numbers in hex, UTF-16 resource names and
// version strings as UTF-8, and strings inside JSON.
#pragma once

#include <cstdint>
#include <string>

namespace packer {

std::string Hex(uint64_t value);
std::string Utf8(const std::u16string& text);
std::u16string Utf16FromAscii(const std::string& text);
// UTF-16 TEXT between double quotes, escaped for JSON: every unit outside
// printable ASCII as \uXXXX.
std::string JsonString(const std::u16string& text);
// The same for UTF-8 TEXT, decoded first; a byte that begins no
// well-formed sequence is written as \ufffd.
std::string JsonString(const std::string& text);
// TEXT with every byte outside printable ASCII, and the backslash, written
// as \xNN (UTF-16: \uXXXX): a name or a version string taken from a file
// cannot move the cursor, clear a line or forge one on a terminal.
std::string Printable(const std::string& text);
std::string Printable(const std::u16string& text);

}  // namespace packer
