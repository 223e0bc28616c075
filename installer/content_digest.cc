#include "content_digest.h"

#include "random_bytes.h"
#include "wide_buf.h"

namespace {

// Bytes are read through a fixed buffer on the stack; the setup program
// takes some seventy reads.
constexpr DWORD kReadChunk = 64 * 1024;

uint64_t RotateLeft(uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

uint64_t LoadLittleEndian(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// The running state of one digest: four words, the bytes of a block not
// yet complete, and the count of all bytes seen.
struct SipState {
  uint64_t v[4];
  unsigned char tail[8];
  uint64_t total;

  explicit SipState(const DigestKey& key) : tail(), total(0) {
    v[0] = key.k0 ^ 0x736f6d6570736575ULL;
    v[1] = key.k1 ^ 0x646f72616e646f6dULL;
    v[2] = key.k0 ^ 0x6c7967656e657261ULL;
    v[3] = key.k1 ^ 0x7465646279746573ULL;
  }

  void Round() {
    v[0] += v[1];
    v[1] = RotateLeft(v[1], 13);
    v[1] ^= v[0];
    v[0] = RotateLeft(v[0], 32);
    v[2] += v[3];
    v[3] = RotateLeft(v[3], 16);
    v[3] ^= v[2];
    v[0] += v[3];
    v[3] = RotateLeft(v[3], 21);
    v[3] ^= v[0];
    v[2] += v[1];
    v[1] = RotateLeft(v[1], 17);
    v[1] ^= v[2];
    v[2] = RotateLeft(v[2], 32);
  }

  void Block(uint64_t m) {
    v[3] ^= m;
    Round();
    Round();
    v[0] ^= m;
  }

  void Update(const unsigned char* data, uint64_t size) {
    uint64_t at = 0;
    unsigned pending = static_cast<unsigned>(total % 8);
    total += size;
    while (pending != 0 && at < size) {
      tail[pending++] = data[at++];
      if (pending == 8) {
        Block(LoadLittleEndian(tail));
        pending = 0;
      }
    }
    for (; at + 8 <= size; at += 8) Block(LoadLittleEndian(data + at));
    while (at < size) tail[pending++] = data[at++];
  }

  uint64_t Finish() {
    const unsigned pending = static_cast<unsigned>(total % 8);
    uint64_t last = (total & 0xFF) << 56;
    for (unsigned i = 0; i < pending; ++i) {
      last |= static_cast<uint64_t>(tail[i]) << (8 * i);
    }
    Block(last);
    v[2] ^= 0xFF;
    Round();
    Round();
    Round();
    Round();
    return v[0] ^ v[1] ^ v[2] ^ v[3];
  }
};

}  // namespace

ContentDigest UnknownContent(DWORD error) {
  ContentDigest digest;
  FillBytes(&digest, 0, sizeof digest);
  digest.known = false;
  digest.error = error;
  return digest;
}

bool DrawDigestKey(DigestKey* key) { return DrawRandomBytes(key, sizeof *key); }

uint64_t SipHash24(const DigestKey& key, const void* data, uint64_t size) {
  SipState state(key);
  state.Update(static_cast<const unsigned char*>(data), size);
  return state.Finish();
}

ContentDigest DigestFileContent(HANDLE handle, const DigestKey& key) {
  SipState state(key);
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
    state.Update(buffer, read);
    offset += read;
  }
  ContentDigest digest = UnknownContent(0);
  digest.known = true;
  digest.key = key;
  digest.size = offset;
  digest.value = state.Finish();
  return digest;
}

bool SameContent(const ContentDigest& a, const ContentDigest& b) {
  return a.known && b.known && a.key.k0 == b.key.k0 && a.key.k1 == b.key.k1 &&
         a.size == b.size && a.value == b.value;
}
