#include "manifest.h"

#include <vector>

namespace packer {
namespace {

// The markup is ASCII: other characters only matter as not being it.
std::string AsciiText(const Bytes& bytes) {
  std::string text;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text += bytes[i + 1] == 0 && bytes[i] < 0x80 ? char(bytes[i]) : '?';
    return text;
  }
  const size_t start = bytes.size() >= 3 && bytes[0] == 0xEF &&
                               bytes[1] == 0xBB && bytes[2] == 0xBF
                           ? 3
                           : 0;
  return std::string(bytes.begin() + start, bytes.end());
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string LocalName(const std::string& name) {
  const size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

}  // namespace

bool ReadExecutionLevel(const Bytes& manifest,
                        std::optional<std::string>* level,
                        std::string* problem) {
  static const std::vector<std::string> kPath = {
      "assembly", "trustInfo", "security", "requestedPrivileges"};
  const std::string text = AsciiText(manifest);
  level->reset();
  std::vector<std::string> open;  // local names of the elements open
  const auto unterminated = [problem](const char* what) {
    *problem = std::string("it ends inside ") + what;
    return false;
  };
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string::npos) {
    struct Skipped {
      const char* begin;
      const char* end;
      const char* what;
    };
    bool skipped = false;
    for (const Skipped& kind : {Skipped{"<!--", "-->", "a comment"},
                                Skipped{"<![CDATA[", "]]>", "a CDATA section"},
                                Skipped{"<?", "?>", "a processing instruction"},
                                Skipped{"<!", ">", "a declaration"}}) {
      if (skipped ||
          text.compare(at, std::string(kind.begin).size(), kind.begin) != 0)
        continue;
      const size_t end =
          text.find(kind.end, at + std::string(kind.begin).size());
      if (end == std::string::npos) return unterminated(kind.what);
      at = end + std::string(kind.end).size();
      skipped = true;
    }
    if (skipped) continue;
    const bool closing = text.compare(at, 2, "</") == 0;
    size_t cursor = at + (closing ? 2 : 1);
    const size_t name_end = text.find_first_of(" \t\r\n/>", cursor);
    if (name_end == std::string::npos) return unterminated("a tag");
    const std::string name = LocalName(text.substr(cursor, name_end - cursor));
    cursor = name_end;
    // Attributes up to the tag's end; a quoted value may hold '>'.
    std::string attribute, value_of_level;
    bool has_level = false, self_closing = false;
    for (;;) {
      while (cursor < text.size() && IsSpace(text[cursor])) ++cursor;
      if (cursor >= text.size()) return unterminated("a tag");
      if (text[cursor] == '>') break;
      if (text.compare(cursor, 2, "/>") == 0) {
        self_closing = true;
        ++cursor;
        break;
      }
      const size_t equals = text.find('=', cursor);
      if (equals == std::string::npos || equals + 1 >= text.size())
        return unterminated("a tag");
      attribute = text.substr(cursor, equals - cursor);
      while (!attribute.empty() && IsSpace(attribute.back()))
        attribute.pop_back();
      cursor = equals + 1;
      while (cursor < text.size() && IsSpace(text[cursor])) ++cursor;
      const char quote = cursor < text.size() ? text[cursor] : '\0';
      const size_t value_end = quote == '"' || quote == '\''
                                   ? text.find(quote, cursor + 1)
                                   : std::string::npos;
      if (value_end == std::string::npos) return unterminated("a tag");
      if (LocalName(attribute) == "level" && !has_level) {
        has_level = true;
        value_of_level = text.substr(cursor + 1, value_end - cursor - 1);
      }
      cursor = value_end + 1;
    }
    at = cursor + 1;
    if (closing) {
      if (!open.empty()) open.pop_back();
      continue;
    }
    if (name == "requestedExecutionLevel" && open == kPath && !*level)
      *level = has_level ? value_of_level : "";
    if (!self_closing) open.push_back(name);
  }
  return true;
}

}  // namespace packer
