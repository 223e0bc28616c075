// Turning libFuzzer's bytes into the UTF-16 texts the text functions take.
//
// The bytes are read as little-endian UTF-16 units (an odd last byte is
// dropped). The first few units are numbers that steer a target (sizes,
// offsets); the units after them are texts separated by 0 units, so a seed
// file is simply "numbers, text\0text\0...". Missing numbers and texts read
// as 0 and as empty texts.
//
// Every text lives in a heap block of exactly its length plus terminator and
// every buffer in one of exactly capacity plus guard, so AddressSanitizer
// reports a read or write one unit past either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"

static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar");

// The standard library's wchar_t support was built for 4-byte units, so the
// checks here keep their own copies as char16_t and never touch wide strings.
using Units = std::u16string;

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size, size_t number_count) {
    std::vector<char16_t> units;
    units.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
      units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    size_t i = 0;
    for (; i < number_count; ++i) {
      numbers_.push_back(i < units.size() ? units[i] : 0);
    }
    Units current;
    for (; i < units.size(); ++i) {
      if (units[i] == 0) {
        texts_.push_back(current);
        current.clear();
      } else {
        current.push_back(units[i]);
      }
    }
    texts_.push_back(current);
  }

  uint16_t number(size_t index) const { return numbers_[index]; }
  Units text(size_t index) const {
    return index < texts_.size() ? texts_[index] : Units();
  }
  size_t text_count() const { return texts_.size(); }

 private:
  std::vector<uint16_t> numbers_;
  std::vector<Units> texts_;
};

// A terminated text in a block of exactly length + 1 units.
class HeapText {
 public:
  explicit HeapText(const Units& text)
      : length_(text.size()), units_(new wchar_t[text.size() + 1]) {
    for (size_t i = 0; i < length_; ++i) units_[i] = text[i];
    units_[length_] = 0;
  }
  wchar_t* get() { return units_.get(); }
  const wchar_t* get() const { return units_.get(); }
  size_t length() const { return length_; }

 private:
  size_t length_;
  std::unique_ptr<wchar_t[]> units_;
};

// A buffer of capacity N: N units the operations may use and the guard unit
// behind them, nothing more. The guard holds a value that appears in none of
// the inputs, so a write of any input unit onto it shows; a scan that relies
// on finding a 0 there runs on into the red zone instead.
class GuardedBuffer {
 public:
  GuardedBuffer(size_t capacity, const std::vector<Units>& inputs)
      : capacity_(capacity), units_(new wchar_t[capacity + 1]) {
    guard_ = static_cast<wchar_t>(UnusedUnit(inputs, 0xFDD0));
    filler_ = static_cast<wchar_t>(UnusedUnit(inputs, guard_ + 1));
    for (size_t i = 0; i < capacity_; ++i) units_[i] = filler_;
    units_[capacity_] = guard_;
  }

  wchar_t* get() { return units_.get(); }
  wchar_t& operator[](size_t i) { return units_[i]; }
  size_t capacity() const { return capacity_; }
  // A unit no operation ever writes: stale content shows up as this.
  wchar_t filler() const { return filler_; }
  bool guard_intact() const { return units_[capacity_] == guard_; }

  // Capacity units, terminator included if the text is short enough.
  void Fill(const Units& text) {
    size_t i = 0;
    for (; i < text.size() && i < capacity_; ++i) units_[i] = text[i];
    if (i < capacity_) units_[i] = 0;
  }

  Units Snapshot() const {
    Units copy;
    for (size_t i = 0; i <= capacity_; ++i) copy.push_back(units_[i]);
    return copy;
  }

 private:
  static uint16_t UnusedUnit(const std::vector<Units>& inputs, uint16_t start) {
    for (uint32_t candidate = start;; ++candidate) {
      const char16_t unit = static_cast<char16_t>(candidate);
      if (unit == 0) continue;
      bool used = false;
      for (const Units& text : inputs) {
        if (text.find(unit) != Units::npos) {
          used = true;
          break;
        }
      }
      if (!used) return unit;
    }
  }

  size_t capacity_;
  std::unique_ptr<wchar_t[]> units_;
  wchar_t guard_;
  wchar_t filler_;
};

inline Units UnitsOf(const wchar_t* text) {
  Units copy;
  if (text == nullptr) return copy;
  for (size_t i = 0; text[i] != 0; ++i) copy.push_back(text[i]);
  return copy;
}

inline char16_t FoldForCheck(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? unit + (u'a' - u'A') : unit;
}

inline bool SameNoCase(const Units& a, size_t at, const Units& b) {
  if (at > a.size() || a.size() - at < b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    if (FoldForCheck(a[at + i]) != FoldForCheck(b[i])) return false;
  }
  return true;
}

// Repeats text until it is length units long (filler when text is empty).
inline Units Cycle(const Units& text, size_t length, char16_t filler) {
  Units out;
  for (size_t i = 0; i < length; ++i) {
    out.push_back(text.empty() ? filler : text[i % text.size()]);
  }
  return out;
}
