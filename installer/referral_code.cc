#include "referral_code.h"

#include "wide_buf.h"

namespace {

constexpr size_t kStandardCodeLength = 6;

bool IsAsciiLetter(wchar_t unit) {
  const unsigned folded = static_cast<unsigned>(unit) & ~0x20u;
  return folded >= 0x41 && folded <= 0x5A;
}

bool IsAsciiDigit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

// Position of the last '-' among the first length units, or length when
// there is none.
size_t LastHyphenBefore(const wchar_t* name, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (name[i - 1] == L'-') return i - 1;
  }
  return length;
}

// Browsers name a repeated download "x (2).exe" or "x(2).exe"; the counter
// is not part of the code.
void CutCopyCounter(wchar_t* name) {
  const size_t length = TextLength(name);
  if (length == 0 || name[length - 1] != L')') return;
  size_t i = length - 1;
  while (i > 0 && IsAsciiDigit(name[i - 1])) --i;
  if (i > 0 && name[i - 1] == L'(') name[i - 1] = 0;
}

void CutTrailingSpaces(wchar_t* name) {
  size_t length = TextLength(name);
  while (length > 0 && name[length - 1] == L' ') --length;
  name[length] = 0;
}

void CutExtension(wchar_t* name) {
  const size_t length = TextLength(name);
  for (size_t i = length; i > 0; --i) {
    if (name[i - 1] == L'.') {
      name[i - 1] = 0;
      return;
    }
  }
}

}  // namespace

bool ReferralCodeFromStubPath(const wchar_t* stub_path, wchar_t* output) {
  output[0] = 0;
  if (stub_path == nullptr) return false;
  PathBuf name;
  if (!SafeCopy(name.get(), kPathCapacity,
                NameFromPath(stub_path, TextLength(stub_path)))) {
    return false;
  }
  CutExtension(name.get());
  CutCopyCounter(name.get());
  CutTrailingSpaces(name.get());
  if (name.empty()) return false;
  return ParseStandardCode(name.get(), output) ||
         ParseExtendedCode(name.get(), output);
}

bool ParseStandardCode(const wchar_t* name, wchar_t* output) {
  const size_t length = TextLength(name);
  const size_t hyphen = LastHyphenBefore(name, length);
  if (hyphen == length || length - hyphen != kStandardCodeLength + 1) {
    return false;
  }
  const wchar_t* code = name + hyphen + 1;
  for (size_t i = 0; i < 3; ++i) {
    if (!IsAsciiLetter(code[i]) || !IsAsciiDigit(code[i + 3])) return false;
  }
  wchar_t upper[kStandardCodeLength + 1];
  if (!SafeCopy(upper, kStandardCodeLength + 1, code)) return false;
  for (size_t i = 0; i < kStandardCodeLength; ++i) {
    if (upper[i] >= L'a' && upper[i] <= L'z') {
      upper[i] = static_cast<wchar_t>(upper[i] - 0x20);
    }
  }
  return SafeCopy(output, kReferralCodeCapacity, upper);
}

bool ParseExtendedCode(const wchar_t* name, wchar_t* output) {
  const size_t length = TextLength(name);
  const size_t last = LastHyphenBefore(name, length);
  if (last == length) return false;
  const size_t second = LastHyphenBefore(name, last);
  if (second == last) return false;
  const wchar_t* candidate = name + second + 1;
  for (size_t i = 0; candidate[i] != 0; ++i) {
    if (!IsAsciiLetter(candidate[i]) && candidate[i] != L'-') return false;
  }
  // A candidate too long for the output is no code at all; SafeCopy leaves
  // the output empty then.
  return SafeCopy(output, kReferralCodeCapacity, candidate);
}
