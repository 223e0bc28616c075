// The bounded text operations against plain models of what they promise.
//
// Numbers: capacity, prefill length, source length, offset/count.
// Texts: the target's prefill, the source, bytes for hex encoding.
// A length number of 0 takes the text as given; otherwise the text is
// repeated to that length, which reaches the edges of a capacity quickly.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_input.h"
#include "wide_buf.h"

namespace {

constexpr size_t kMaxCapacity = 300;  // the largest buffer in use

Units Shaped(const Units& text, uint16_t length, size_t limit, char16_t pad) {
  if (length == 0) return text;
  return Cycle(text, length % (limit + 1), pad);
}

// What BoundedLength must answer for the first units of a buffer.
size_t ModelBoundedLength(const Units& units, size_t capacity) {
  if (capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (units[i] == 0) return i;
  }
  return capacity - 1;
}

void CheckBoundedLength(const Units& prefill, size_t capacity) {
  GuardedBuffer buffer(capacity, {prefill});
  buffer.Fill(prefill);
  const Units before = buffer.Snapshot();
  const uint64_t length = BoundedLength(buffer.get(), capacity);
  FUZZ_CHECK(length == ModelBoundedLength(before, capacity));
  FUZZ_CHECK(capacity == 0 || length < capacity);
  FUZZ_CHECK(buffer.Snapshot() == before);
  FUZZ_CHECK(BoundedLength(nullptr, capacity) == 0);
}

void CheckSafeCopy(const Units& prefill, const Units& source, size_t capacity) {
  GuardedBuffer buffer(capacity, {prefill, source});
  buffer.Fill(prefill);
  const Units before = buffer.Snapshot();
  HeapText heap_source(source);
  const bool copied = SafeCopy(buffer.get(), capacity, heap_source.get());
  const Units after = buffer.Snapshot();
  FUZZ_CHECK(buffer.guard_intact());
  FUZZ_CHECK(copied == (source.size() < capacity));
  if (capacity == 0) {
    FUZZ_CHECK(after == before);
  } else if (copied) {
    FUZZ_CHECK(after.compare(0, source.size(), source) == 0);
    FUZZ_CHECK(after[source.size()] == 0);
    // Nothing behind the terminator is touched.
    FUZZ_CHECK(after.compare(source.size() + 1, Units::npos, before,
                             source.size() + 1, Units::npos) == 0);
  } else {
    FUZZ_CHECK(after[0] == 0);
  }
  FUZZ_CHECK(!SafeCopy(nullptr, capacity, heap_source.get()));
}

// A source that starts inside the target shifts the text to the left.
void CheckSafeCopyWithin(const Units& prefill, size_t capacity,
                         uint16_t offset) {
  if (prefill.size() >= capacity) return;  // the source must be terminated
  GuardedBuffer buffer(capacity, {prefill});
  buffer.Fill(prefill);
  const size_t from = offset % (prefill.size() + 1);
  FUZZ_CHECK(SafeCopy(buffer.get(), capacity, buffer.get() + from));
  FUZZ_CHECK(UnitsOf(buffer.get()) == prefill.substr(from));
  FUZZ_CHECK(buffer.guard_intact());
}

void CheckSafeAppend(const Units& prefill, const Units& source,
                     size_t capacity) {
  GuardedBuffer buffer(capacity, {prefill, source});
  buffer.Fill(prefill);
  const Units before = buffer.Snapshot();
  const size_t end = ModelBoundedLength(before, capacity);
  HeapText heap_source(source);
  const bool appended = SafeAppend(buffer.get(), capacity, heap_source.get());
  const Units after = buffer.Snapshot();
  FUZZ_CHECK(buffer.guard_intact());
  FUZZ_CHECK(appended == (capacity > 0 && end + source.size() < capacity));
  if (capacity == 0) {
    FUZZ_CHECK(after == before);
    return;
  }
  // The old text stays in front either way.
  FUZZ_CHECK(after.compare(0, end, before, 0, end) == 0);
  if (appended) {
    FUZZ_CHECK(after.compare(end, source.size(), source) == 0);
    const size_t terminator = end + source.size();
    FUZZ_CHECK(after[terminator] == 0);
    FUZZ_CHECK(after.compare(terminator + 1, Units::npos, before,
                             terminator + 1, Units::npos) == 0);
  } else {
    FUZZ_CHECK(after[end] == 0);
  }
  FUZZ_CHECK(!SafeAppend(nullptr, capacity, heap_source.get()));
}

void CheckHexEncode(const Units& text, uint16_t count_number, size_t capacity) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  const size_t count = count_number % (bytes.size() + 1);
  std::unique_ptr<uint8_t[]> block(new uint8_t[count + 1]);
  for (size_t i = 0; i < count; ++i) block[i] = bytes[i];

  GuardedBuffer buffer(capacity, {});
  const Units before = buffer.Snapshot();
  const bool encoded = HexEncode(block.get(), count, buffer.get(), capacity);
  const Units after = buffer.Snapshot();
  FUZZ_CHECK(buffer.guard_intact());
  FUZZ_CHECK(encoded == (2 * count < capacity));
  if (!encoded) {
    FUZZ_CHECK(after == before);
  } else {
    const char16_t digits[] = u"0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
      FUZZ_CHECK(after[2 * i] == digits[block[i] >> 4]);
      FUZZ_CHECK(after[2 * i + 1] == digits[block[i] & 0x0F]);
    }
    FUZZ_CHECK(after[2 * count] == 0);
    FUZZ_CHECK(after.compare(2 * count + 1, Units::npos, before, 2 * count + 1,
                             Units::npos) == 0);
  }
  // Counts near the top of the range must not wrap into "fits"; the bytes
  // behind them are never there to read.
  const size_t huge = SIZE_MAX - (count_number & 0xFF);
  FUZZ_CHECK(!HexEncode(block.get(), huge, buffer.get(), capacity));
  FUZZ_CHECK(!HexEncode(block.get(), huge / 2 + 1, buffer.get(), capacity));
  FUZZ_CHECK(buffer.Snapshot() == after);
}

void CheckComparisons(const Units& text, const Units& pattern) {
  HeapText heap_text(text);
  HeapText heap_pattern(pattern);

  const bool ends = EndsWithNoCase(heap_text.get(), heap_pattern.get());
  FUZZ_CHECK(ends == (pattern.size() <= text.size() &&
                      SameNoCase(text, text.size() - pattern.size(), pattern)));
  const bool starts = StartsWithNoCase(heap_text.get(), heap_pattern.get());
  FUZZ_CHECK(starts == SameNoCase(text, 0, pattern));

  const wchar_t* found = FindNoCase(heap_text.get(), heap_pattern.get());
  size_t first = Units::npos;
  if (pattern.empty()) {
    first = 0;
  } else {
    for (size_t at = 0; at < text.size(); ++at) {
      if (SameNoCase(text, at, pattern)) {
        first = at;
        break;
      }
    }
  }
  if (first == Units::npos) {
    FUZZ_CHECK(found == nullptr);
  } else {
    FUZZ_CHECK(found == heap_text.get() + first);
  }
  if (found != nullptr) {
    FUZZ_CHECK(found >= heap_text.get() &&
               found <= heap_text.get() + text.size());
  }

  FUZZ_CHECK(FindNoCase(heap_text.get(), nullptr) == heap_text.get());
  FUZZ_CHECK(!EndsWithNoCase(nullptr, heap_pattern.get()));
  FUZZ_CHECK(!EndsWithNoCase(heap_text.get(), nullptr));
  FUZZ_CHECK(!StartsWithNoCase(nullptr, heap_pattern.get()));
  FUZZ_CHECK(!StartsWithNoCase(heap_text.get(), nullptr));
}

void CheckNameFromPath(const Units& path, uint16_t length_number) {
  HeapText heap_path(path);
  const size_t length = length_number % (path.size() + 1);
  const wchar_t* name = NameFromPath(heap_path.get(), length);
  FUZZ_CHECK(name >= heap_path.get() && name <= heap_path.get() + length);
  const size_t at = static_cast<size_t>(name - heap_path.get());
  FUZZ_CHECK(at == 0 || path[at - 1] == u'\\');
  for (size_t i = at; i < length; ++i) FUZZ_CHECK(path[i] != u'\\');
  FUZZ_CHECK(NameFromPath(const_cast<const wchar_t*>(heap_path.get()),
                          length) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size, 4);
  const size_t capacity = input.number(0) % (kMaxCapacity + 1);
  const Units prefill = Shaped(input.text(0), input.number(1), capacity, u'p');
  const Units source =
      Shaped(input.text(1), input.number(2), capacity + 1, u's');
  const uint16_t offset = input.number(3);

  CheckBoundedLength(prefill, capacity);
  CheckSafeCopy(prefill, source, capacity);
  CheckSafeCopyWithin(prefill, capacity, offset);
  CheckSafeAppend(prefill, source, capacity);
  CheckHexEncode(input.text(2), offset, capacity);
  CheckComparisons(input.text(0), input.text(1));
  CheckComparisons(input.text(1), input.text(0));
  CheckNameFromPath(input.text(0), offset);
  return 0;
}
