#include "content_digest.h"

#include "wide_buf.h"

namespace {

// Bytes are read through a fixed buffer on the stack; the setup program
// takes some seventy reads.
constexpr DWORD kReadChunk = 64 * 1024;

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t RotateRight(uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

inline uint32_t LoadBigEndian(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) |
         (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// The working variables rotate through the eight slots instead of being
// moved each round: round i writes d and h of its own naming, which is
// what lets the compiler keep all eight in registers.
inline void Round(const uint32_t* w, int i, uint32_t a, uint32_t b, uint32_t c,
                  uint32_t& d, uint32_t e, uint32_t f, uint32_t g,
                  uint32_t& h) {
  const uint32_t t1 =
      h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) +
      ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i & 15];
  const uint32_t t2 =
      (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) +
      ((a & b) ^ (a & c) ^ (b & c));
  d += t1;
  h = t1 + t2;
}

// The schedule keeps the last sixteen words only; word i replaces word
// i - 16 in place.
inline void Schedule(uint32_t* w, int i) {
  const uint32_t w15 = w[(i - 15) & 15];
  const uint32_t w2 = w[(i - 2) & 15];
  const uint32_t s0 = RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3);
  const uint32_t s1 = RotateRight(w2, 17) ^ RotateRight(w2, 19) ^ (w2 >> 10);
  w[i & 15] += s0 + w[(i - 7) & 15] + s1;
}

void Compress(uint32_t* state, const unsigned char* block) {
  uint32_t w[16];
  for (size_t i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; i += 8) {
    if (i >= 16) {
      for (int j = i; j < i + 8; ++j) Schedule(w, j);
    }
    Round(w, i + 0, a, b, c, d, e, f, g, h);
    Round(w, i + 1, h, a, b, c, d, e, f, g);
    Round(w, i + 2, g, h, a, b, c, d, e, f);
    Round(w, i + 3, f, g, h, a, b, c, d, e);
    Round(w, i + 4, e, f, g, h, a, b, c, d);
    Round(w, i + 5, d, e, f, g, h, a, b, c);
    Round(w, i + 6, c, d, e, f, g, h, a, b);
    Round(w, i + 7, b, c, d, e, f, g, h, a);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// Eight bytes a step, one multiplication each: a few milliseconds for the
// setup program, where its SHA-256 takes some twenty. The bytes of an
// unfinished word wait for the next piece, so that the value does not
// depend on how the file was read.
struct Fingerprint {
  uint64_t value;
  uint64_t total;
  unsigned char pending[8];

  Fingerprint() : value(0x6A09E667F3BCC909ULL), total(0), pending() {}

  void Mix(const unsigned char* bytes) {
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    value = (value ^ word) * 0x9E3779B97F4A7C15ULL;
    value ^= value >> 29;
  }
  void Update(const unsigned char* data, size_t size) {
    unsigned filled = static_cast<unsigned>(total % 8);
    total += size;
    size_t at = 0;
    if (filled != 0) {
      while (filled < 8 && at < size) pending[filled++] = data[at++];
      if (filled < 8) return;
      Mix(pending);
    }
    for (; at + 8 <= size; at += 8) Mix(data + at);
    for (unsigned i = 0; at < size; ++i) pending[i] = data[at++];
  }
  uint64_t Finish() {
    const unsigned filled = static_cast<unsigned>(total % 8);
    for (unsigned i = filled; i < 8; ++i) pending[i] = 0;
    Mix(pending);
    return value ^ total;
  }
};

}  // namespace

Sha256::Sha256() : pending(), total(0) {
  const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  for (int i = 0; i < 8; ++i) state[i] = initial[i];
}

void Sha256::Update(const void* data, uint64_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  unsigned filled = static_cast<unsigned>(total % 64);
  total += size;
  uint64_t at = 0;
  if (filled != 0) {
    while (filled < 64 && at < size) pending[filled++] = bytes[at++];
    if (filled < 64) return;
    Compress(state, pending);
  }
  for (; at + 64 <= size; at += 64) Compress(state, bytes + at);
  for (unsigned i = 0; at < size; ++i) pending[i] = bytes[at++];
}

void Sha256::Finish(unsigned char (&digest)[kSha256Size]) {
  const uint64_t bits = total * 8;
  unsigned filled = static_cast<unsigned>(total % 64);
  pending[filled++] = 0x80;
  if (filled > 56) {
    while (filled < 64) pending[filled++] = 0;
    Compress(state, pending);
    filled = 0;
  }
  while (filled < 56) pending[filled++] = 0;
  for (int i = 0; i < 8; ++i) {
    pending[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  }
  Compress(state, pending);
  for (unsigned i = 0; i < kSha256Size; ++i) {
    digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
  }
}

ContentDigest UnknownContent(DWORD error) {
  ContentDigest digest;
  FillBytes(&digest, 0, sizeof digest);
  digest.known = false;
  digest.error = error;
  return digest;
}

ContentDigest DigestBytes(const void* data, uint64_t size) {
  Sha256 sha;
  sha.Update(data, size);
  Fingerprint fingerprint;
  fingerprint.Update(static_cast<const unsigned char*>(data),
                     static_cast<size_t>(size));
  ContentDigest digest = UnknownContent(0);
  digest.fingerprint = fingerprint.Finish();
  digest.known = true;
  digest.size = size;
  digest.has_sha256 = true;
  sha.Finish(digest.sha256);
  return digest;
}

ContentDigest DigestFileContent(HANDLE handle, bool sha256) {
  Sha256 sha;
  Fingerprint fingerprint;
  unsigned char buffer[kReadChunk];
  uint64_t offset = 0;
  for (;;) {
    // The offset goes with each read: what is digested is the file from
    // its first byte, wherever the handle's position stood.
    OVERLAPPED at;
    FillBytes(&at, 0, sizeof at);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(handle, buffer, kReadChunk, &read, &at)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      return UnknownContent(error);
    }
    if (read == 0) break;
    fingerprint.Update(buffer, read);
    if (sha256) sha.Update(buffer, read);
    offset += read;
  }
  ContentDigest digest = UnknownContent(0);
  digest.known = true;
  digest.size = offset;
  digest.fingerprint = fingerprint.Finish();
  digest.has_sha256 = sha256;
  if (sha256) sha.Finish(digest.sha256);
  return digest;
}

bool SameReading(const ContentDigest& a, const ContentDigest& b) {
  return a.known && b.known && a.size == b.size &&
         a.fingerprint == b.fingerprint;
}

bool SameContent(const ContentDigest& a, const ContentDigest& b) {
  if (!a.known || !b.known || !a.has_sha256 || !b.has_sha256 ||
      a.size != b.size) {
    return false;
  }
  unsigned char differ = 0;
  for (unsigned i = 0; i < kSha256Size; ++i)
    differ |= a.sha256[i] ^ b.sha256[i];
  return differ == 0;
}
