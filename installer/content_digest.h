// What a file holds, told by the SHA-256 of its bytes, and by a fast
// fingerprint that only tells whether two readings of it agree.
//
// The packer records the SHA-256 of the setup program it packed; the run
// compares what it is about to start with that record. Nobody can make
// other bytes with a given SHA-256, so a file that has the recorded digest
// holds the packed program, whoever could write to it. The fingerprint of
// what the run wrote says, when the program is refused, whether it was
// already other bytes when written or changed since: it decides no start,
// so it need not resist a forger, only be cheap.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr unsigned kSha256Size = 32;

struct ContentDigest {
  bool known;       // false: no digest was taken, nothing can be compared
  DWORD error;      // when not known: the Windows error that kept it so
  uint64_t size;    // bytes digested
  bool has_sha256;  // the SHA-256 was taken (or recorded)
  unsigned char sha256[kSha256Size];
  uint64_t fingerprint;  // taken whenever the bytes were read
};

// A digest that is not known, for the given reason.
ContentDigest UnknownContent(DWORD error);

// The running state of one SHA-256 over bytes handed in pieces.
struct Sha256 {
  uint32_t state[8];
  unsigned char pending[64];
  uint64_t total;

  Sha256();
  void Update(const void* data, uint64_t size);
  // The digest of everything handed in; the state is spent afterwards.
  void Finish(unsigned char (&digest)[kSha256Size]);
};

// The digest of size bytes at data, known: its SHA-256 and fingerprint.
ContentDigest DigestBytes(const void* data, uint64_t size);

// Reads the whole file open on handle from its first byte (the handle
// needs read access; its position ends at the end) and takes its
// fingerprint and, with sha256, its SHA-256. Not known, with the reading
// error, when it cannot be read to its end.
ContentDigest DigestFileContent(HANDLE handle, bool sha256);

// True only when both are known, carry a SHA-256, and are equal.
bool SameContent(const ContentDigest& a, const ContentDigest& b);
// True only when both are known and read the same size and fingerprint.
bool SameReading(const ContentDigest& a, const ContentDigest& b);
