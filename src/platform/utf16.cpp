#include "platform/utf16.h"

#include <cstdint>

namespace tb {
namespace {

// Decodes one UTF-8 sequence at `i`; returns false on any malformation.
bool DecodeUtf8(std::string_view s, size_t& i, char32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  int len;
  if (b0 < 0x80) {
    cp = b0;
    len = 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    cp = b0 & 0x1F;
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    cp = b0 & 0x0F;
    len = 3;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    cp = b0 & 0x07;
    len = 4;
  } else {
    return false;
  }
  if (i + len > s.size()) return false;
  for (int k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
  if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  i += len;
  return true;
}

std::string_view UpToNul(std::string_view s) {
  size_t n = s.find('\0');
  return n == std::string_view::npos ? s : s.substr(0, n);
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  size_t nul = text.find(u'\0');
  if (nul != std::u16string_view::npos) text = text.substr(0, nul);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return {};
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return {};
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  text = UpToNul(text);
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    if (!DecodeUtf8(text, i, cp)) return {};
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string StrictUtf8(std::string_view text) {
  text = UpToNul(text);
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    if (!DecodeUtf8(text, i, cp)) return {};
  }
  return std::string(text);
}

}  // namespace tb
