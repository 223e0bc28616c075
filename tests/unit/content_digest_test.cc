#include "content_digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace {

using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

std::string Hex(const unsigned char (&digest)[kSha256Size]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string Sha256Of(const std::string& bytes) {
  return Hex(DigestBytes(bytes.data(), bytes.size()).sha256);
}

TEST(Sha256, MatchesTheStandardsVectorsAtEveryPaddingCase) {
  // FIPS 180-4's examples, and lengths on either side of the padding's
  // turn (55, 56 and 64 bytes), as sha256sum gives them.
  const struct {
    std::string input;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'),
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'),
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Sha256Of(v.input), v.digest) << v.input.size();
  }
  // Handed over in pieces that straddle the blocks, the same digest.
  Sha256 pieces;
  const std::string million(1000000, 'a');
  for (size_t at = 0; at < million.size(); at += 997) {
    pieces.Update(million.data() + at,
                  std::min<size_t>(997, million.size() - at));
  }
  unsigned char digest[kSha256Size];
  pieces.Finish(digest);
  EXPECT_EQ(Hex(digest), vectors[6].digest);
}

TEST(DigestFileContent, DigestsTheWholeFileAndSaysWhenItCannot) {
  ScratchDir dir;
  std::string bytes(3 * 65536 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7 + (i >> 9));
  }
  for (const std::string& content : {std::string(), bytes}) {
    const std::wstring path = dir / L"setup.exe";
    ASSERT_TRUE(WriteFileBytes(path, content));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // From the first byte, wherever the handle stands.
    SetFilePointer(file, 1000, nullptr, FILE_BEGIN);
    const ContentDigest digest = DigestFileContent(file, true);
    const ContentDigest reading = DigestFileContent(file, false);
    CloseHandle(file);
    ASSERT_TRUE(digest.known);
    EXPECT_EQ(digest.size, content.size());
    EXPECT_EQ(Hex(digest.sha256), Sha256Of(content));
    // Read in pieces of 64 KiB or taken whole, the same reading.
    EXPECT_TRUE(
        SameReading(reading, DigestBytes(content.data(), content.size())));
    EXPECT_FALSE(reading.has_sha256);
  }
  // One bit changed anywhere changes the reading.
  for (size_t at : {size_t{0}, bytes.size() / 2, bytes.size() - 1}) {
    std::string changed = bytes;
    changed[at] ^= 1;
    EXPECT_FALSE(SameReading(DigestBytes(changed.data(), changed.size()),
                             DigestBytes(bytes.data(), bytes.size())))
        << at;
  }

  // A handle that may not read: not known, with the reason.
  HANDLE attributes_only =
      CreateFileW((dir / L"setup.exe").c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(attributes_only, INVALID_HANDLE_VALUE);
  const ContentDigest refused = DigestFileContent(attributes_only, true);
  CloseHandle(attributes_only);
  EXPECT_FALSE(refused.known);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SameContent(refused, refused));
}

}  // namespace
