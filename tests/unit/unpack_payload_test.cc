// The payload stage against installer variants that carry exactly the
// resources of each case, mapped as data files.
#include "unpack_payload.h"

#include <gtest/gtest.h>

#include <string>

#include "delete_with_retry.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

const std::string kArchiveBytes =
    std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + std::string(5000, 'a');

std::string FixtureCabinet() {
  return ReadFileBytes(PathFromEnvironment("PAYLOAD_FIXTURES") +
                       L"\\setup.cab");
}
std::string FixtureSetupContent() {
  return ReadFileBytes(PathFromEnvironment("PAYLOAD_FIXTURES") +
                       L"\\setup.exe");
}

struct Unpacked {
  ExitResult result = {0xFFFF, 0xFFFF};
  std::wstring archive_path;
  std::wstring setup_path;
  std::wstring archive_tag;
  std::wstring setup_tag;
  int32_t max_delete_attempts = 0;
};

class UnpackPayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = dir_.path() + L"\\work\\";
    ASSERT_TRUE(CreateDirectoryW(work_.c_str(), nullptr));
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  Unpacked Unpack(InstallerVariant& variant,
                  ExpectedProgram* expected = nullptr) {
    return UnpackInto(variant, work_, expected);
  }

  Unpacked UnpackInto(InstallerVariant& variant, const std::wstring& work,
                      ExpectedProgram* expected = nullptr) {
    Unpacked out;
    EXPECT_TRUE(variant.Build()) << variant.error();
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = LoadLibraryExW(variant.path().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(module_, nullptr);
    PathBuf setup_path;
    PathBuf archive_path;
    TypeTag setup_tag;
    TypeTag archive_tag;
    OpenDirectory held(work);
    out.result = UnpackPayload(
        module_, work.c_str(), held.handle(), &setup_path, &setup_tag,
        &archive_path, &archive_tag, &out.max_delete_attempts, expected);
    out.archive_path = archive_path.get();
    out.setup_path = setup_path.get();
    out.archive_tag = archive_tag.get();
    out.setup_tag = setup_tag.get();
    return out;
  }

  InstallerVariant Variant() {
    return InstallerVariant(dir_ /
                            (L"v" + std::to_wstring(++serial_) + L".exe"));
  }
  std::vector<std::wstring> WorkFiles() { return ListDirectory(work_); }

  ScratchDir dir_{L"payload"};
  std::wstring work_;
  HMODULE module_ = nullptr;
  int serial_ = 0;
};

void ExpectResult(const Unpacked& u, uint32_t code, uint32_t error) {
  EXPECT_EQ(u.result.exit_code, code);
  EXPECT_EQ(u.result.windows_error, error);
}

TEST_F(UnpackPayloadTest, CabinetRoadWritesArchiveAndExpandsSetup) {
  InstallerVariant v = Variant();
  v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BL", L"SETUP.EX_", FixtureCabinet())
      .SetupRecord(FixtureSetupContent());
  const Unpacked u = Unpack(v);
  ExpectResult(u, 0, 0);
  EXPECT_EQ(u.archive_tag, L"B7");
  EXPECT_EQ(u.setup_tag, L"BL");
  EXPECT_EQ(u.archive_path, work_ + L"KORVEN.PACKED.7Z");
  EXPECT_EQ(u.setup_path, work_ + L"setup.exe");
  EXPECT_EQ(ReadFileBytes(u.archive_path), kArchiveBytes);
  EXPECT_EQ(ReadFileBytes(u.setup_path), FixtureSetupContent());
  EXPECT_EQ(WorkFiles(),
            (std::vector<std::wstring>{L"KORVEN.PACKED.7Z", L"setup.exe"}));
  // The cabinet went; a scanner that opened it for a moment costs an
  // attempt or two, which is not what this case is about.
  EXPECT_GE(u.max_delete_attempts, 1);
  EXPECT_LT(u.max_delete_attempts, kMaxDeleteAttempts);
}

TEST_F(UnpackPayloadTest, MissingPayloadsAreReportedAsFileNotFound) {
  InstallerVariant none = Variant();
  ExpectResult(Unpack(none), 112, 2);
  InstallerVariant archive_only = Variant();
  archive_only.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes);
  ExpectResult(Unpack(archive_only), 115, 2);
  InstallerVariant setup_only = Variant();
  setup_only.Add(L"BN", L"SETUP.EXE", "MZ");
  ExpectResult(Unpack(setup_only), 112, 2);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(UnpackPayloadTest, NamesWithNeitherPrefixAreInvalidData) {
  InstallerVariant in_b7 = Variant();
  in_b7.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"B7", L"README", "x");
  ExpectResult(Unpack(in_b7), 112, 13);

  InstallerVariant in_bl = Variant();
  in_bl.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BL", L"XSETUP", "x");
  ExpectResult(Unpack(in_bl), 115, 13);

  InstallerVariant in_bn = Variant();
  in_bn.Add(L"BN", L"KORVE", "x");  // shorter than the prefix
  ExpectResult(Unpack(in_bn), 112, 13);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(UnpackPayloadTest, SecondArchiveOrSetupIsTooManyNames) {
  InstallerVariant two_archives = Variant();
  two_archives.Add(L"B7", L"KORVEN.A.7Z", kArchiveBytes)
      .Add(L"B7", L"KORVEN.B.7Z", kArchiveBytes);
  ExpectResult(Unpack(two_archives), 112, 68);

  InstallerVariant across_types = Variant();
  across_types.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BL", L"KORVEN.OTHER", kArchiveBytes);
  ExpectResult(Unpack(across_types), 115, 68);

  InstallerVariant two_setups = Variant();
  two_setups.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BL", L"SETUP.EX_", FixtureCabinet())
      .Add(L"BN", L"SETUP.EXE", "MZ");
  ExpectResult(Unpack(two_setups), 115, 68);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(UnpackPayloadTest, NameOf260CharactersDoesNotFit) {
  InstallerVariant v = Variant();
  const std::wstring long_name = L"KORVEN" + std::wstring(254, L'X');
  ASSERT_EQ(long_name.size(), 260u);
  v.Add(L"B7", long_name.c_str(), kArchiveBytes);
  ExpectResult(Unpack(v), 112, 206);
}

TEST_F(UnpackPayloadTest, NamesThatCouldLeaveTheWorkDirectoryAreRefused) {
  for (const wchar_t* name : {L"KORVEN\\..\\..\\EVIL", L"SETUP/../X",
                              L"KORVEN:STREAM", L"KORVEN.", L"SETUP "}) {
    InstallerVariant v = Variant();
    v.Add(L"B7", name, kArchiveBytes);
    const Unpacked u = Unpack(v);
    EXPECT_EQ(u.result.windows_error, 13u) << Narrow(name);
  }
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_EQ(ListDirectory(dir_.path()).size(), serial_ + 1u)
      << "something was written beside the work directory";
}

TEST_F(UnpackPayloadTest, IntegerIdentifierEndsItsTypeQuietly) {
  InstallerVariant v = Variant();
  v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"B7", 7, "ignored")
      .Add(L"BN", L"SETUP.BIN", "MZ-setup")
      .SetupRecord("MZ-setup");
  const Unpacked u = Unpack(v);
  ExpectResult(u, 0, 0);
  EXPECT_EQ(u.archive_tag, L"B7");
}

TEST_F(UnpackPayloadTest, SetupUnderBnIsWrittenAsSetupExe) {
  InstallerVariant v = Variant();
  v.Add(L"BN", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BN", L"SETUP.BIN", "MZ-plain-setup")
      .SetupRecord("MZ-plain-setup");
  const Unpacked u = Unpack(v);
  ExpectResult(u, 0, 0);
  EXPECT_EQ(u.archive_tag, L"BN");
  EXPECT_EQ(u.setup_tag, L"BN");
  EXPECT_EQ(u.setup_path, work_ + L"setup.exe");
  EXPECT_EQ(ReadFileBytes(u.setup_path), "MZ-plain-setup");
  EXPECT_EQ(WorkFiles(),
            (std::vector<std::wstring>{L"KORVEN.PACKED.7Z", L"setup.exe"}));
}

TEST_F(UnpackPayloadTest, PatchUnderB7KeepsItsNameAndIsNotExpanded) {
  InstallerVariant v = Variant();
  v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"B7", L"SETUP.PATCH", FixtureCabinet())
      .SetupRecord("the program the patch makes");
  const Unpacked u = Unpack(v);
  ExpectResult(u, 0, 0);
  EXPECT_EQ(u.setup_tag, L"B7");
  EXPECT_EQ(u.setup_path, work_ + L"SETUP.PATCH");
  EXPECT_EQ(ReadFileBytes(u.setup_path), FixtureCabinet());
  EXPECT_EQ(WorkFiles(),
            (std::vector<std::wstring>{L"KORVEN.PACKED.7Z", L"SETUP.PATCH"}));
}

TEST_F(UnpackPayloadTest, FailedExpansionStillDeletesTheCabinet) {
  InstallerVariant v = Variant();
  std::string broken = FixtureCabinet();
  broken.resize(broken.size() / 2);
  v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BL", L"SETUP.EX_", broken)
      .SetupRecord(FixtureSetupContent());
  const Unpacked u = Unpack(v);
  ExpectResult(u, 115, 0);
  // Whether the library made the target before it failed is its own
  // business; the setup path names it only when it did.
  EXPECT_TRUE(u.setup_path.empty() || u.setup_path == work_ + L"setup.exe");
  EXPECT_EQ(WorkFiles(), (std::vector<std::wstring>{L"KORVEN.PACKED.7Z"}));
  EXPECT_GE(u.max_delete_attempts, 1);
}

TEST_F(UnpackPayloadTest, NamesAlreadyInTheWorkDirectoryAreNotTheRunsOwn) {
  // Another process put these names in the work directory first. The run
  // fails on them, and hands back no path to them, so that its cleanup
  // cannot delete what it did not make.
  const struct {
    const wchar_t* planted;
    const wchar_t* setup_type;
    uint32_t code;
  } cases[] = {
      {L"KORVEN.PACKED.7Z", L"BL", 112},
      {L"SETUP.EX_", L"BL", 116},
      {L"setup.exe", L"BL", 115},
      {L"setup.exe", L"BN", 116},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.planted) + " " + Narrow(c.setup_type));
    for (const std::wstring& name : WorkFiles()) RemoveTree(work_ + name);
    ASSERT_TRUE(WriteFileBytes(work_ + c.planted, "planted"));
    InstallerVariant v = Variant();
    v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
        .Add(c.setup_type, L"SETUP.EX_", FixtureCabinet())
        .SetupRecord(FixtureSetupContent());
    const Unpacked u = Unpack(v);
    EXPECT_EQ(u.result.exit_code, c.code);
    for (const std::wstring& path : {u.archive_path, u.setup_path}) {
      EXPECT_NE(path, work_ + c.planted) << "a planted name was handed back";
    }
    EXPECT_EQ(ReadFileBytes(work_ + c.planted), "planted");
  }
}

TEST_F(UnpackPayloadTest, NothingIsWrittenWithoutTheRecord) {
  // The record is read before anything is written, and handed on with the
  // reading of the program as written, for the hold before the start.
  const struct {
    const char* label;
    std::string record;  // empty: none; "bad": not the record's shape
    uint32_t code;
    uint32_t error;
  } cases[] = {
      {"no record", "", 115, 1814},
      {"another shape", "bad", 115, 13},
      {"the record", FixtureSetupContent(), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const std::wstring& name : WorkFiles()) RemoveTree(work_ + name);
    InstallerVariant v = Variant();
    v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
        .Add(L"BL", L"SETUP.EX_", FixtureCabinet());
    if (c.record == "bad") {
      v.Add(MAKEINTRESOURCEW(10), 2, std::string(48, '\1'));
    } else if (!c.record.empty()) {
      v.SetupRecord(c.record);
    }
    ExpectedProgram expected;
    const Unpacked u = Unpack(v, &expected);
    ExpectResult(u, c.code, c.error);
    EXPECT_EQ(WorkFiles().empty(), c.code != 0);
    const std::string setup = FixtureSetupContent();
    EXPECT_EQ(expected.content.known && expected.written.known, c.code == 0);
    if (c.code == 0) {
      EXPECT_TRUE(SameContent(expected.content,
                              DigestBytes(setup.data(), setup.size())));
      EXPECT_TRUE(SameReading(expected.written,
                              DigestBytes(setup.data(), setup.size())));
    }
  }
}

TEST_F(UnpackPayloadTest, WorkDirectoryTooLongForTheArchiveName) {
  // 246 units is the longest installer folder; its work directory leaves
  // too little room for "KORVEN.PACKED.7Z".
  std::wstring work = dir_.path() + L"\\";
  while (work.size() < 248) work += L"w";
  work += L"\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  InstallerVariant v = Variant();
  v.Add(L"B7", L"KORVEN.PACKED.7Z", kArchiveBytes)
      .Add(L"BN", L"SETUP.BIN", "MZ")
      .SetupRecord("MZ");
  const Unpacked u = UnpackInto(v, work);
  ExpectResult(u, 108, 0);
  EXPECT_TRUE(u.archive_path.empty());
  EXPECT_TRUE(ListDirectory(work).empty());
}

}  // namespace
