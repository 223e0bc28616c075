#include "text.h"

#include <cstdio>

namespace packer {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(value));
  return text;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16FromAscii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

namespace {

bool PlainAscii(uint32_t unit) { return unit >= 0x20 && unit < 0x7F; }

std::string Escaped(const char* format, uint32_t unit) {
  char text[8];
  std::snprintf(text, sizeof text, format, unit);
  return text;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += Escaped("\\u%04x", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonString(const std::u16string& text) {
  std::string out = "\"";
  for (const char16_t unit : text) {
    if (unit == u'"' || unit == u'\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else {
      out += PlainAscii(unit) ? std::string(1, static_cast<char>(unit))
                              : Escaped("\\u%04x", unit);
    }
  }
  return out + "\"";
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += PlainAscii(byte) && c != '\\' ? std::string(1, c)
                                         : Escaped("\\x%02x", byte);
  }
  return out;
}

std::string Printable(const std::u16string& text) {
  std::string out;
  for (const char16_t unit : text) {
    out += PlainAscii(unit) && unit != u'\\'
               ? std::string(1, static_cast<char>(unit))
               : Escaped("\\u%04x", unit);
  }
  return out;
}

}  // namespace packer
