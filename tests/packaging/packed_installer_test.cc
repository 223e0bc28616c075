// Installers packed at build time, read the way the loader and the
// installer read them: payload types, names and language, the bytes of
// each payload, the cabinet around the setup program, the previous-version
// resource, and the installer's own resources next to the payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using namespace testing_support;

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR found) {
  if (!IS_INTRESOURCE(type)) {
    reinterpret_cast<std::set<std::wstring>*>(found)->insert(type);
  }
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  reinterpret_cast<std::set<std::wstring>*>(found)->insert(
      IS_INTRESOURCE(name)
          ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
          : std::wstring(name));
  return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language,
                              LONG_PTR found) {
  reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
  return TRUE;
}

class PackedImage {
 public:
  explicit PackedImage(const char* variable)
      : path_(PathFromEnvironment(variable)) {
    module_ = LoadLibraryExW(
        path_.c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  ~PackedImage() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  bool loaded() const { return module_ != nullptr; }
  const std::wstring& path() const { return path_; }

  // The string-named resource types: the payload's, nothing else.
  std::set<std::wstring> Types() const {
    std::set<std::wstring> types;
    EnumResourceTypesW(module_, CollectType,
                       reinterpret_cast<LONG_PTR>(&types));
    return types;
  }
  std::set<std::wstring> Names(const wchar_t* type) const {
    std::set<std::wstring> names;
    EnumResourceNamesW(module_, type, CollectName,
                       reinterpret_cast<LONG_PTR>(&names));
    return names;
  }
  std::vector<WORD> Languages(const wchar_t* type, const wchar_t* name) const {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module_, type, name, CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }
  // The bytes of one resource in language 1033; false when absent.
  bool Bytes(const wchar_t* type, const wchar_t* name,
             std::string* bytes) const {
    HRSRC found = FindResourceExW(module_, type, name, 1033);
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(module_, found);
    const void* data = loaded == nullptr ? nullptr : LockResource(loaded);
    if (data == nullptr) return false;
    bytes->assign(static_cast<const char*>(data),
                  SizeofResource(module_, found));
    return true;
  }

 private:
  std::wstring path_;
  HMODULE module_ = nullptr;
};

// Every payload resource of the image, in language 1033 only.
void ExpectOnlyEnglishUs(const PackedImage& image) {
  for (const std::wstring& type : image.Types()) {
    for (const std::wstring& name : image.Names(type.c_str())) {
      EXPECT_EQ(image.Languages(type.c_str(), name.c_str()),
                std::vector<WORD>{1033})
          << Narrow(type) << "/" << Narrow(name);
    }
  }
}

// The installer's own manifest, icon and version block survive next to the
// payload.
void ExpectOwnResources(const PackedImage& image) {
  std::string bytes;
  EXPECT_TRUE(image.Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1), &bytes));
  EXPECT_NE(bytes.find("asInvoker"), std::string::npos);
  EXPECT_TRUE(image.Bytes(RT_VERSION, MAKEINTRESOURCEW(1), &bytes));
  EXPECT_TRUE(image.Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1), &bytes));
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}
uint16_t Le16(const std::string& bytes, size_t at) {
  uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, 2);
  return value;
}

// Started as a double click starts it, with the limited token.
DWORD RunWithCleanupSwitch(const std::wstring& installer) {
  ChildOptions double_click;
  double_click.token = ChildToken::kLimited;
  const ChildOutcome outcome =
      RunChild(installer, L"\"" + installer + L"\" --cleanup", double_click);
  EXPECT_TRUE(outcome.started) << "start error " << outcome.start_error;
  return outcome.exit_code;
}

TEST(PackedInstaller, CompressedSetupProgramWithPreviousVersion) {
  PackedImage image("PACKED_BL");
  ASSERT_TRUE(image.loaded()) << Narrow(image.path());
  EXPECT_EQ(image.Types(), (std::set<std::wstring>{L"B7", L"BL"}));
  EXPECT_EQ(image.Names(L"B7"), std::set<std::wstring>{L"KORVEN.PACKED.7Z"});
  EXPECT_EQ(image.Names(L"BL"), std::set<std::wstring>{L"SETUP.EX_"});
  ExpectOnlyEnglishUs(image);
  ExpectOwnResources(image);

  std::string archive;
  ASSERT_TRUE(image.Bytes(L"B7", L"KORVEN.PACKED.7Z", &archive));
  EXPECT_EQ(archive, ReadFileBytes(PathFromEnvironment("PACK_ARCHIVE")));

  // One folder, one MSZIP-compressed file called setup.exe, of the setup
  // program's size.
  const std::string setup = ReadFileBytes(PathFromEnvironment("PACK_SETUP"));
  std::string cabinet;
  ASSERT_TRUE(image.Bytes(L"BL", L"SETUP.EX_", &cabinet));
  ASSERT_GE(cabinet.size(), 36u + 8u + 16u + 10u);
  EXPECT_EQ(cabinet.substr(0, 4), "MSCF");
  EXPECT_EQ(Le32(cabinet, 8), cabinet.size());
  EXPECT_EQ(Le16(cabinet, 26), 1u) << "folders";
  EXPECT_EQ(Le16(cabinet, 28), 1u) << "files";
  EXPECT_EQ(Le16(cabinet, 30) & 0x4u, 0u) << "reserved fields";
  EXPECT_EQ(Le16(cabinet, 36 + 6) & 0xFu, 1u) << "compression is not MSZIP";
  const size_t file_entry = Le32(cabinet, 16);
  ASSERT_LT(file_entry + 16 + 10, cabinet.size());
  EXPECT_EQ(Le32(cabinet, file_entry), setup.size());
  EXPECT_STREQ(cabinet.c_str() + file_entry + 16, "setup.exe");
  EXPECT_LT(cabinet.size(), setup.size()) << "the cabinet is not compressed";

  std::string version;
  ASSERT_TRUE(image.Bytes(RT_RCDATA, MAKEINTRESOURCEW(1), &version));
  EXPECT_EQ(version, Utf16Bytes(L"1.2.3.4"));

  EXPECT_EQ(RunWithCleanupSwitch(image.path()), 118u);
}

TEST(PackedInstaller, UncompressedSetupProgramWithoutPreviousVersion) {
  PackedImage image("PACKED_BN");
  ASSERT_TRUE(image.loaded()) << Narrow(image.path());
  EXPECT_EQ(image.Types(), (std::set<std::wstring>{L"B7", L"BN"}));
  EXPECT_EQ(image.Names(L"BN"), std::set<std::wstring>{L"SETUP.EXE"});
  ExpectOnlyEnglishUs(image);
  ExpectOwnResources(image);
  std::string setup;
  ASSERT_TRUE(image.Bytes(L"BN", L"SETUP.EXE", &setup));
  EXPECT_EQ(setup, ReadFileBytes(PathFromEnvironment("PACK_SETUP")));
  std::string version;
  EXPECT_FALSE(image.Bytes(RT_RCDATA, MAKEINTRESOURCEW(1), &version));
  EXPECT_EQ(RunWithCleanupSwitch(image.path()), 118u);
}

TEST(PackedInstaller, PatchBesideTheArchive) {
  PackedImage image("PACKED_PATCH");
  ASSERT_TRUE(image.loaded()) << Narrow(image.path());
  EXPECT_EQ(image.Types(), std::set<std::wstring>{L"B7"});
  EXPECT_EQ(image.Names(L"B7"),
            (std::set<std::wstring>{L"KORVEN.PACKED.7Z", L"SETUP.PATCH"}));
  ExpectOnlyEnglishUs(image);
  std::string patch, version;
  ASSERT_TRUE(image.Bytes(L"B7", L"SETUP.PATCH", &patch));
  EXPECT_EQ(patch, ReadFileBytes(PathFromEnvironment("PACK_PATCH")));
  ASSERT_TRUE(image.Bytes(RT_RCDATA, MAKEINTRESOURCEW(1), &version));
  EXPECT_EQ(version, Utf16Bytes(L"2.0"));
}

}  // namespace
