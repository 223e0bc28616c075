// What a test needs to drive the setup program stand-in and read what it
// saw: the names of its environment variables, its exit codes, and a reader
// for its report file. The behaviour itself is described at the top of
// setup_stand_in.cc.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace stand_in {

// Environment variables (all optional).
constexpr const wchar_t kReport[] = L"STAND_IN_REPORT";
constexpr const wchar_t kExitCode[] = L"STAND_IN_EXIT_CODE";
constexpr const wchar_t kPatchExitCode[] = L"STAND_IN_PATCH_EXIT_CODE";
constexpr const wchar_t kInstallerResult[] = L"STAND_IN_INSTALLER_RESULT";
constexpr const wchar_t kClientState[] = L"STAND_IN_CLIENT_STATE";
constexpr const wchar_t kAppGuid[] = L"STAND_IN_APP_GUID";
constexpr const wchar_t kInstallTo[] = L"STAND_IN_INSTALL_TO";
constexpr const wchar_t kInstallVersion[] = L"STAND_IN_INSTALL_VERSION";
constexpr const wchar_t kHoldMs[] = L"STAND_IN_HOLD_MS";
constexpr const wchar_t kHoldFile[] = L"STAND_IN_HOLD_FILE";
constexpr const wchar_t kHolderExe[] = L"STAND_IN_HOLDER_EXE";
constexpr const wchar_t kHoldWrite[] = L"STAND_IN_HOLD_WRITE";
constexpr const wchar_t kNewSetupLinkedFrom[] =
    L"STAND_IN_NEW_SETUP_LINKED_FROM";
constexpr const wchar_t kLinkArchiveTo[] = L"STAND_IN_LINK_ARCHIVE_TO";
constexpr const wchar_t kLingerMs[] = L"STAND_IN_LINGER_MS";
constexpr const wchar_t kMoveSelf[] = L"STAND_IN_MOVE_SELF";
constexpr const wchar_t kCrash[] = L"STAND_IN_CRASH";

// For the cases only Windows can show (see windows_only_test.cc).
constexpr const wchar_t kLingerUntil[] = L"STAND_IN_LINGER_UNTIL";
constexpr const wchar_t kHoldShareDelete[] = L"STAND_IN_HOLD_SHARE_DELETE";
constexpr const wchar_t kNewSetupLink[] = L"STAND_IN_NEW_SETUP_LINK";
constexpr const wchar_t kNewSetupLinkTarget[] =
    L"STAND_IN_NEW_SETUP_LINK_TARGET";
constexpr const wchar_t kReportErrorMode[] = L"STAND_IN_REPORT_ERROR_MODE";

// What an ordinary setup program does (see setup_stand_in.cc): all of it
// with kRealistic = "1", less the behaviours kWithout names, comma-separated.
constexpr const wchar_t kRealistic[] = L"STAND_IN_REALISTIC";
constexpr const wchar_t kWithout[] = L"STAND_IN_WITHOUT";
constexpr const wchar_t kStragglerMs[] = L"STAND_IN_STRAGGLER_MS";
// What it writes beside itself: a log, and a folder holding a subfolder.
constexpr const wchar_t kLogName[] = L"setup.log";
constexpr const wchar_t kUnpackedName[] = L"unpacked";

// Exit codes of its own; every other code is one it was told to use.
constexpr unsigned kExitUsage = 64;         // command line not understood
constexpr unsigned kExitNotAnArchive = 65;  // no 7z signature at the start
constexpr unsigned kExitNoInput = 66;       // archive or patch not there
constexpr unsigned kExitOwnFolder = 67;     // its folder cannot be worked in
constexpr unsigned kExitCannotCreate = 73;  // new or installed copy failed
constexpr unsigned kExitIoError = 74;       // report, registry or holder

// One run's block of the report: key/value pairs in the order written,
// with the escapes (%25, %0D, %0A) already undone.
struct Run {
  std::vector<std::pair<std::string, std::string>> entries;

  // The first value of a key; empty when absent.
  std::string Get(const std::string& key) const {
    for (const auto& entry : entries) {
      if (entry.first == key) return entry.second;
    }
    return std::string();
  }
  bool Has(const std::string& key) const {
    for (const auto& entry : entries) {
      if (entry.first == key) return true;
    }
    return false;
  }
  std::vector<std::string> All(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& entry : entries) {
      if (entry.first == key) values.push_back(entry.second);
    }
    return values;
  }
  // An environment variable the run saw; names compare case-insensitively
  // as Windows does. False when it was not set.
  bool Env(const std::string& name, std::string* value) const {
    for (const std::string& line : All("env")) {
      const size_t equals = line.find('=', 1);
      if (equals == std::string::npos || equals != name.size()) continue;
      bool same = true;
      for (size_t i = 0; i < equals && same; ++i) {
        same = (line[i] | 0x20) == (name[i] | 0x20);
      }
      if (same) {
        *value = line.substr(equals + 1);
        return true;
      }
    }
    return false;
  }
};

inline std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string code = text.substr(i + 1, 2);
      if (code == "25") {
        out += '%';
        i += 2;
        continue;
      }
      if (code == "0D") {
        out += '\r';
        i += 2;
        continue;
      }
      if (code == "0A") {
        out += '\n';
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Splits the text of a report file into runs, oldest first. A run whose
// block never ended (the program was killed) is still returned.
inline std::vector<Run> ParseReport(const std::string& text) {
  std::vector<Run> runs;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = Unescape(line.substr(equals + 1));
    if (key == "run" && value == "begin") {
      runs.emplace_back();
      continue;
    }
    if (key == "run" || runs.empty()) continue;
    runs.back().entries.emplace_back(key, value);
  }
  return runs;
}

}  // namespace stand_in
