// The referral code carried in the stub installer's file name. Pure text:
// no platform call.
#pragma once

#include <cstddef>

constexpr size_t kReferralCodeCapacity = 128;

// Writes the code into output (capacity 128) and returns true, or returns
// false with output empty.
bool ReferralCodeFromStubPath(const wchar_t* stub_path, wchar_t* output);

// On the cleaned name: "-" + three ASCII letters + three digits at the end
// (upper-cased), or the letters-and-one-hyphen text after the
// second-to-last "-" (kept as is).
bool ParseStandardCode(const wchar_t* name, wchar_t* output);
bool ParseExtendedCode(const wchar_t* name, wchar_t* output);
