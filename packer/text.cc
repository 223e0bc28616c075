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

// UTF-8 as UTF-16; a byte that begins no well-formed sequence stands for
// U+FFFD, as JSON text can carry nothing but Unicode.
std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                                         : 2;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool formed = lead < 0x80 || (lead >= 0xC2 && lead < 0xF5);
    for (size_t k = 1; formed && k < length; ++k) {
      const auto next =
          i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      formed = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    formed = formed && code >= least[length] && code <= 0x10FFFF &&
             (code < 0xD800 || code >= 0xE000);
    if (!formed) {
      out += u'\xFFFD';
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += length;
  }
  return out;
}

}  // namespace

// Decoded first, so that a C1 control (U+0080 to U+009F, which a terminal
// takes as CSI and the like) or any other unit outside printable ASCII is
// escaped as the UTF-16 texts are.
std::string JsonString(const std::string& text) {
  return JsonString(Utf16FromUtf8(text));
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
