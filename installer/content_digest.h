// What a file holds, told by a keyed digest of its bytes.
//
// The key is drawn at random for each run and never leaves the process, so
// nobody can make other bytes with the digest of the file the run wrote:
// a file that holds the digest still holds those bytes. The digest is
// SipHash-2-4, a keyed function made for exactly this (telling inputs
// apart when an adversary picks them, not knowing the key), and fast
// enough to cost a few milliseconds on the 4.4 MB setup program.
#pragma once

#include <windows.h>

#include <cstdint>

struct DigestKey {
  uint64_t k0;
  uint64_t k1;
};

struct ContentDigest {
  bool known;      // false: no digest was taken, nothing can be compared
  DWORD error;     // when not known: the Windows error that kept it so
  DigestKey key;   // the key it was taken with
  uint64_t size;   // bytes digested
  uint64_t value;  // SipHash-2-4 of those bytes
};

// A digest that is not known, for the given reason.
ContentDigest UnknownContent(DWORD error);

// Draws a fresh key; false (the key then unspecified) when the system's
// generator fails.
bool DrawDigestKey(DigestKey* key);

// Reads the whole file open on handle from its first byte (the handle
// needs read access; its position ends at the end) and digests it with key. Not
// known, with the reading error, when it cannot be read to its end.
ContentDigest DigestFileContent(HANDLE handle, const DigestKey& key);

// SipHash-2-4 of size bytes at data with key; the same function the file
// digest uses, so that a test can hold it against known vectors.
uint64_t SipHash24(const DigestKey& key, const void* data, uint64_t size);

// True only when both are known, taken with one key, and equal.
bool SameContent(const ContentDigest& a, const ContentDigest& b);
