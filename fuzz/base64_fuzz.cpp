// Base64Decode on arbitrary text: the same result as a plain one-character-
// at-a-time decoder, never more bytes than the text can carry, and blanks
// anywhere change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "printing/print_intake.h"

namespace {

// The rules written out plainly: alphabet characters feed six bits each,
// blanks are skipped, padding may only be followed by padding or blanks,
// anything else fails (empty result); leftover bits are dropped.
std::string ReferenceDecode(std::string_view text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  bool padding = false;
  for (char c : text) {
    size_t v = alphabet.find(c);
    if (c != '\0' && v != std::string::npos) {
      if (padding) return "";
      acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out += static_cast<char>((acc >> bits) & 0xFF);
      }
    } else if (c == '=') {
      padding = true;
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return "";
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string decoded = tb::printing::Base64Decode(text);
  FUZZ_CHECK(decoded == ReferenceDecode(text));
  FUZZ_CHECK(decoded.size() <= size / 4 * 3 + 2);

  std::string spaced;
  for (size_t i = 0; i < text.size(); ++i) {
    spaced += text[i];
    if (i % 3 == 1) spaced += (i % 2) ? "\r\n" : " \t";
  }
  FUZZ_CHECK(tb::printing::Base64Decode(spaced) == decoded);

  // Clean alphabet text of whole quads decodes to exactly three bytes each.
  std::string clean;
  for (char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '/') {
      clean += c;
    }
  }
  clean.resize(clean.size() / 4 * 4);
  FUZZ_CHECK(tb::printing::Base64Decode(clean).size() == clean.size() / 4 * 3);
  return 0;
}
