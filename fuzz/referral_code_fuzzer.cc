// ReferralCodeFromStubPath on random stub paths: the shape of every code it
// gives, and agreement with a plain model of the name cleaning.
//
// Texts: the stub path (the input up to its first 0 unit).
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "referral_code.h"
#include "wide_buf.h"

namespace {

bool IsLetter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}
bool IsDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

Units CleanedName(const Units& path) {
  const size_t slash = path.rfind(u'\\');
  Units name = slash == Units::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind(u'.');
  if (dot != Units::npos) name.resize(dot);
  if (!name.empty() && name.back() == u')') {
    size_t i = name.size() - 1;
    while (i > 0 && IsDigit(name[i - 1])) --i;
    if (i > 0 && name[i - 1] == u'(') name.resize(i - 1);
  }
  while (!name.empty() && name.back() == u' ') name.pop_back();
  return name;
}

// The code the stub path carries, or an empty text for none.
Units ModelCode(const Units& path) {
  const size_t slash = path.rfind(u'\\');
  const size_t name_length =
      slash == Units::npos ? path.size() : path.size() - slash - 1;
  if (name_length >= kPathCapacity) return Units();
  const Units name = CleanedName(path);
  const size_t last = name.rfind(u'-');
  if (last == Units::npos) return Units();

  const Units after_last = name.substr(last + 1);
  if (after_last.size() == 6 && IsLetter(after_last[0]) &&
      IsLetter(after_last[1]) && IsLetter(after_last[2]) &&
      IsDigit(after_last[3]) && IsDigit(after_last[4]) &&
      IsDigit(after_last[5])) {
    Units code = after_last;
    for (char16_t& unit : code) {
      if (unit >= u'a' && unit <= u'z') unit -= u'a' - u'A';
    }
    return code;
  }

  if (last == 0) return Units();
  const size_t second = name.rfind(u'-', last - 1);
  if (second == Units::npos) return Units();
  const Units candidate = name.substr(second + 1);
  for (char16_t unit : candidate) {
    if (!IsLetter(unit) && unit != u'-') return Units();
  }
  if (candidate.size() >= kReferralCodeCapacity) return Units();
  return candidate;
}

bool IsStandardShape(const Units& code) {
  if (code.size() != 6) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (code[i] < u'A' || code[i] > u'Z' || !IsDigit(code[i + 3])) {
      return false;
    }
  }
  return true;
}

bool IsExtendedShape(const Units& code) {
  size_t hyphens = 0;
  for (char16_t unit : code) {
    if (unit == u'-') {
      ++hyphens;
    } else if (!IsLetter(unit)) {
      return false;
    }
  }
  return hyphens == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size, 0);
  const Units path = input.text(0);
  HeapText heap_path(path);
  GuardedBuffer output(kReferralCodeCapacity, {path});

  const bool found = ReferralCodeFromStubPath(heap_path.get(), output.get());
  FUZZ_CHECK(output.guard_intact());
  size_t length = 0;
  while (length < kReferralCodeCapacity && output[length] != 0) ++length;
  FUZZ_CHECK(length < kReferralCodeCapacity);
  const Units code = UnitsOf(output.get());

  if (!found) {
    FUZZ_CHECK(code.empty());
  } else {
    FUZZ_CHECK(IsStandardShape(code) || IsExtendedShape(code));
  }
  FUZZ_CHECK(code == ModelCode(path));
  FUZZ_CHECK(UnitsOf(heap_path.get()) == path);  // the input is only read
  return 0;
}
