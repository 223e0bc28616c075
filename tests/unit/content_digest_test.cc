#include "content_digest.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

// The reference key, bytes 0 to 15.
constexpr DigestKey kReferenceKey = {0x0706050403020100ULL,
                                     0x0F0E0D0C0B0A0908ULL};

TEST(SipHash24, MatchesTheReferenceVectors) {
  // Inputs are the bytes 0, 1, 2, ... of each length; values as OpenSSL's
  // SIPHASH gives them for the same key and input.
  const struct {
    size_t length;
    uint64_t value;
  } vectors[] = {
      {0, 0x726FDB47DD0E0E31ULL},  {1, 0x74F839C593DC67FDULL},
      {7, 0xAB0200F58B01D137ULL},  {8, 0x93F5F5799A932462ULL},
      {15, 0xA129CA6149BE45E5ULL}, {63, 0x958A324CEB064572ULL},
  };
  unsigned char input[64];
  for (unsigned i = 0; i < sizeof input; ++i) {
    input[i] = static_cast<unsigned char>(i);
  }
  for (const auto& v : vectors) {
    EXPECT_EQ(SipHash24(kReferenceKey, input, v.length), v.value) << v.length;
  }
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
    const ContentDigest digest = DigestFileContent(file, kReferenceKey);
    CloseHandle(file);
    ASSERT_TRUE(digest.known);
    EXPECT_EQ(digest.size, content.size());
    EXPECT_EQ(digest.value,
              SipHash24(kReferenceKey, content.data(), content.size()));
  }

  // A handle that may not read: not known, with the reason.
  HANDLE attributes_only =
      CreateFileW((dir / L"setup.exe").c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(attributes_only, INVALID_HANDLE_VALUE);
  const ContentDigest refused =
      DigestFileContent(attributes_only, kReferenceKey);
  CloseHandle(attributes_only);
  EXPECT_FALSE(refused.known);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SameContent(refused, refused));
}

}  // namespace
