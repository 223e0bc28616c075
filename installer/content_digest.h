// What a file holds, told by the SHA-256 of its bytes.
//
// The packer records the SHA-256 of the setup program it packed; the run
// compares what it wrote and what it is about to start with that record.
// Nobody can make other bytes with a given SHA-256, so a file that has
// the recorded digest holds the packed program, whoever could write to it.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr unsigned kSha256Size = 32;

struct ContentDigest {
  bool known;     // false: no digest was taken, nothing can be compared
  DWORD error;    // when not known: the Windows error that kept it so
  uint64_t size;  // bytes digested
  unsigned char sha256[kSha256Size];
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

// The digest of size bytes at data, known.
ContentDigest DigestBytes(const void* data, uint64_t size);

// Reads the whole file open on handle from its first byte (the handle
// needs read access; its position ends at the end) and digests it. Not
// known, with the reading error, when it cannot be read to its end.
ContentDigest DigestFileContent(HANDLE handle);

// True only when both are known and equal.
bool SameContent(const ContentDigest& a, const ContentDigest& b);
