#include "wide_buf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Fills the first count units of a buffer with 'x' and terminates it.
template <size_t N>
void FillText(WideBuf<N>& buf, size_t count) {
  for (size_t i = 0; i < count; ++i) buf.units[i] = L'x';
  buf.units[count] = 0;
}

TEST(WideBuf, CreationZeroesFirstAndGuardUnit) {
  PathBuf path;
  EXPECT_EQ(path.units[0], 0);
  EXPECT_EQ(path.units[kPathCapacity], 0);
  EXPECT_TRUE(path.empty());
}

TEST(BoundedLength, StopsAtCapacityMinusOneWithoutReadingFurther) {
  PathBuf path;
  for (size_t i = 0; i < kPathCapacity; ++i) path.units[i] = L'a';
  EXPECT_EQ(BoundedLength(path.get(), kPathCapacity), 259u);
  path.units[259] = 0;
  EXPECT_EQ(BoundedLength(path.get(), kPathCapacity), 259u);
  path.units[10] = 0;
  EXPECT_EQ(BoundedLength(path.get(), kPathCapacity), 10u);
  EXPECT_EQ(BoundedLength(nullptr, kPathCapacity), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 0), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 1), 0u);
  EXPECT_EQ(BoundedLength(L"abc", 2), 1u);
}

TEST(SafeCopy, FitsExactlyUpToCapacityMinusOneCharacters) {
  PathBuf path;
  const std::wstring fits(259, L'a');
  EXPECT_TRUE(SafeCopy(path.get(), kPathCapacity, fits.c_str()));
  EXPECT_EQ(std::wstring(path.get()), fits);

  const std::wstring too_long(260, L'b');
  EXPECT_FALSE(SafeCopy(path.get(), kPathCapacity, too_long.c_str()));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(path.units[kPathCapacity], 0) << "guard unit written";
}

TEST(SafeCopy, RefusesNullTargetAndZeroCapacityWithoutTouchingAnything) {
  wchar_t unit = L'q';
  EXPECT_FALSE(SafeCopy(&unit, 0, L"a"));
  EXPECT_EQ(unit, L'q');
  // The source is not read: a null source would crash if it were.
  EXPECT_FALSE(SafeCopy(nullptr, 10, nullptr));
}

TEST(SafeCopy, ShiftsLeftWithinTheSameBuffer) {
  PathBuf path;
  SafeCopy(path.get(), kPathCapacity, L"\"C:\\dir\\setup.exe\"");
  EXPECT_TRUE(SafeCopy(path.get(), kPathCapacity, path.get() + 1));
  EXPECT_EQ(std::wstring(path.get()), L"C:\\dir\\setup.exe\"");
}

TEST(SafeAppend, KeepsOldTextWhenTheSourceDoesNotFit) {
  PathBuf path;
  FillText(path, 258);
  EXPECT_FALSE(SafeAppend(path.get(), kPathCapacity, L"ab"));
  EXPECT_EQ(BoundedLength(path.get(), kPathCapacity), 258u);
  EXPECT_EQ(std::wstring(path.get()), std::wstring(258, L'x'));

  EXPECT_TRUE(SafeAppend(path.get(), kPathCapacity, L"a"));
  EXPECT_EQ(BoundedLength(path.get(), kPathCapacity), 259u);
  EXPECT_EQ(path.units[258], L'a');
  EXPECT_EQ(path.units[259], 0);
  EXPECT_EQ(path.units[kPathCapacity], 0);
}

TEST(SafeAppend, TreatsAnUnterminatedTargetAsFull) {
  WideBuf<4> buf;
  buf.units[0] = L'a';
  buf.units[1] = L'b';
  buf.units[2] = L'c';
  buf.units[3] = L'd';
  EXPECT_FALSE(SafeAppend(buf.get(), 4, L"e"));
  EXPECT_EQ(buf.units[3], 0);
  EXPECT_EQ(std::wstring(buf.get()), L"abc");
  buf.units[3] = L'd';
  EXPECT_TRUE(SafeAppend(buf.get(), 4, L""));
  EXPECT_EQ(std::wstring(buf.get()), L"abc");
}

TEST(SafeAppend, FailsForZeroCapacityAndNullTarget) {
  wchar_t unit = 0;
  EXPECT_FALSE(SafeAppend(&unit, 0, L""));
  EXPECT_FALSE(SafeAppend(nullptr, 10, L"a"));
  CmdBuf cmd;
  EXPECT_TRUE(SafeAppend(cmd.get(), kCmdCapacity, L"one"));
  EXPECT_TRUE(SafeAppend(cmd.get(), kCmdCapacity, L" two"));
  EXPECT_EQ(std::wstring(cmd.get()), L"one two");
}

TEST(HexEncode, NeedsRoomForTwoDigitsPerByteAndTheTerminator) {
  const unsigned char bytes[] = {0x0A, 0xFF, 0x10, 0x3C};
  wchar_t out[9];
  for (wchar_t& unit : out) unit = L'#';
  EXPECT_FALSE(HexEncode(bytes, 4, out, 8));
  EXPECT_EQ(out[0], L'#');
  EXPECT_EQ(out[8], L'#');
  EXPECT_TRUE(HexEncode(bytes, 4, out, 9));
  EXPECT_EQ(std::wstring(out), L"0AFF103C");

  wchar_t empty[1] = {L'#'};
  EXPECT_TRUE(HexEncode(bytes, 0, empty, 1));
  EXPECT_EQ(empty[0], 0);
  EXPECT_FALSE(HexEncode(bytes, 0, empty, 0));
}

TEST(CaseInsensitiveComparisons, FoldAsciiOnly) {
  EXPECT_TRUE(EndsWithNoCase(L"abc-FULL", L"-full"));
  EXPECT_FALSE(EndsWithNoCase(L"ll", L"-full"));
  EXPECT_TRUE(EndsWithNoCase(L"anything", L""));
  EXPECT_TRUE(EndsWithNoCase(L"", L""));
  EXPECT_FALSE(EndsWithNoCase(nullptr, L""));
  EXPECT_FALSE(EndsWithNoCase(L"x", nullptr));

  EXPECT_FALSE(StartsWithNoCase(L"se", L"setup"));
  EXPECT_TRUE(StartsWithNoCase(L"Setup.exe", L"SETUP"));
  EXPECT_TRUE(StartsWithNoCase(L"SETUP.EX_", L"setup"));
  EXPECT_TRUE(StartsWithNoCase(L"", L""));
  EXPECT_FALSE(StartsWithNoCase(nullptr, L"a"));

  // U+00C9 and U+00E9 are a case pair outside ASCII: not folded.
  EXPECT_FALSE(StartsWithNoCase(L"\u00C9", L"\u00E9"));
  EXPECT_FALSE(EndsWithNoCase(L"a\u00C9", L"\u00E9"));
  EXPECT_EQ(FindNoCase(L"\u00C9", L"\u00E9"), nullptr);
  // '@' (0x40) and '`' (0x60) differ only in bit 0x20 but are not letters.
  EXPECT_FALSE(StartsWithNoCase(L"@", L"`"));
  EXPECT_FALSE(StartsWithNoCase(L"[", L"{"));
}

TEST(FindNoCase, ReturnsTheLeftmostMatchOrNone) {
  const wchar_t* abc = L"abc";
  EXPECT_EQ(FindNoCase(abc, L""), abc);
  EXPECT_EQ(FindNoCase(abc, nullptr), abc);
  EXPECT_EQ(FindNoCase(L"", L"x"), nullptr);
  const wchar_t* hay = L"aXbxc";
  EXPECT_EQ(FindNoCase(hay, L"XC"), hay + 3);
  EXPECT_EQ(FindNoCase(hay, L"xb"), hay + 1);
  EXPECT_EQ(FindNoCase(L"ab", L"abc"), nullptr);
  const wchar_t* version = L"C:\\Program Files\\Korven\\1.2.3-BETA\\setup.exe";
  EXPECT_EQ(FindNoCase(version, L"1.2.3-beta"), version + 24);
}

TEST(NameFromPath, PointsJustAfterTheLastBackslash) {
  const wchar_t* full = L"C:\\dir\\file.exe";
  EXPECT_EQ(NameFromPath(full, 15), full + 7);
  const wchar_t* rooted = L"\\name";
  EXPECT_EQ(NameFromPath(rooted, 5), rooted + 1);
  const wchar_t* bare = L"name";
  EXPECT_EQ(NameFromPath(bare, 4), bare);
  const wchar_t* dir = L"C:\\dir\\";
  EXPECT_EQ(NameFromPath(dir, 7), dir + 7);
  const wchar_t* slashes = L"C:/dir/file";
  EXPECT_EQ(NameFromPath(slashes, 11), slashes);
  EXPECT_EQ(NameFromPath(full, 0), full);
  // Only the first length units are looked at.
  EXPECT_EQ(NameFromPath(full, 6), full + 3);
}

TEST(FillBytes, FillsExactlyCountBytesWithTheLowByte) {
  unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(FillBytes(bytes + 1, 0x1AB, 4), bytes + 1);
  EXPECT_EQ(bytes[0], 1);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(bytes[i], 0xAB);
  EXPECT_EQ(bytes[5], 6);
  FillBytes(bytes, 0, 0);
  EXPECT_EQ(bytes[0], 1);
}

}  // namespace
