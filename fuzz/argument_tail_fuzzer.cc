// AppendArgumentTail on random own command lines and random child command
// lines already built in a CmdBuf.
//
// Numbers: prefill length, padding length.
// Texts: the child command line built so far, the raw command line, and a
// padding text repeated onto the end of the raw command line (so tails of
// about a thousand units, where the capacity bites, are easy to reach).
// A prefill length of 0 takes the first text as given.
#include <cstddef>
#include <cstdint>

#include "argument_tail.h"
#include "fuzz_input.h"
#include "wide_buf.h"

namespace {

bool IsBreak(char16_t unit) { return unit == u' ' || unit == u'\t'; }

// What must land on the child's command line: the tail after the program
// name, with a space in front when the tail does not bring its own. A
// program name of known length (an unquoted path with spaces) ends there.
Units ExpectedAddition(const Units& raw, size_t program_name_length) {
  size_t tail = 0;
  if (program_name_length != 0) {
    tail = program_name_length;
  } else if (!raw.empty() && raw[0] == u'"') {
    const size_t closing = raw.find(u'"', 1);
    if (closing == Units::npos) return Units();
    tail = closing + 1;
  } else {
    while (tail < raw.size() && !IsBreak(raw[tail])) ++tail;
  }
  if (tail == raw.size()) return Units();
  if (IsBreak(raw[tail])) return raw.substr(tail);
  return u" " + raw.substr(tail);
}

// A length a caller could find for an unquoted own path with one space in
// it: up to the break after the second piece, or 0 when there is none.
size_t PathWithOneSpace(const Units& raw) {
  if (raw.empty() || raw[0] == u'"') return 0;
  size_t at = 0;
  while (at < raw.size() && !IsBreak(raw[at])) ++at;
  if (at == 0 || at == raw.size() || raw[at] != u' ') return 0;
  ++at;
  if (at == raw.size() || IsBreak(raw[at])) return 0;
  while (at < raw.size() && !IsBreak(raw[at])) ++at;
  return at;
}

void CheckAppend(const Units& prefill, const Units& raw,
                 size_t program_name_length) {
  GuardedBuffer command(kCmdCapacity, {prefill, raw});
  command.Fill(prefill);
  const Units before = command.Snapshot();
  size_t end = 0;
  while (end + 1 < kCmdCapacity && before[end] != 0) ++end;
  HeapText heap_raw(raw);

  const bool appended =
      AppendArgumentTail(heap_raw.get(), program_name_length, command.get());
  const Units after = command.Snapshot();
  const Units addition = ExpectedAddition(raw, program_name_length);

  FUZZ_CHECK(command.guard_intact());
  if (addition.empty()) {
    // No arguments: nothing to hand on, and nothing is touched.
    FUZZ_CHECK(appended);
    FUZZ_CHECK(after == before);
    return;
  }
  FUZZ_CHECK(appended == (end + addition.size() < kCmdCapacity));
  FUZZ_CHECK(after.compare(0, end, before, 0, end) == 0);
  if (appended) {
    FUZZ_CHECK(after.compare(end, addition.size(), addition) == 0);
    const size_t terminator = end + addition.size();
    FUZZ_CHECK(after[terminator] == 0);
    FUZZ_CHECK(after.compare(terminator + 1, Units::npos, before,
                             terminator + 1, Units::npos) == 0);
  } else {
    // Never a half tail, not even the separating space.
    FUZZ_CHECK(after[end] == 0);
  }
  FUZZ_CHECK(AppendArgumentTail(nullptr, program_name_length, command.get()));
  FUZZ_CHECK(command.Snapshot() == after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size, 2);
  const uint16_t prefill_length = input.number(0);
  const Units prefill =
      prefill_length == 0
          ? input.text(0)
          : Cycle(input.text(0), prefill_length % (kCmdCapacity + 1), u'c');
  const Units raw =
      input.text(1) + Cycle(input.text(2), input.number(1) % 1100, u'x');

  CheckAppend(prefill, raw, 0);
  const size_t own_path = PathWithOneSpace(raw);
  if (own_path != 0) {
    CheckAppend(prefill, raw, own_path);
    // The pieces of that name: the first one and the one after the space.
    HeapText heap_raw(raw);
    FUZZ_CHECK(ArgumentsInProgramName(heap_raw.get(), own_path) == 2);
  }
  return 0;
}
