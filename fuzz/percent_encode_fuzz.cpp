// PercentEncode: only the unreserved characters and %XX come out, and
// decoding gives the input back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/text.h"

namespace {
bool Unreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}
int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what is produced
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string encoded = tb::PercentEncode(text);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%') {
      FUZZ_CHECK(i + 2 < encoded.size());
      int hi = Hex(encoded[i + 1]), lo = Hex(encoded[i + 2]);
      FUZZ_CHECK(hi >= 0 && lo >= 0);
      const char byte = static_cast<char>(hi * 16 + lo);
      FUZZ_CHECK(!Unreserved(byte));  // never encoded needlessly
      decoded += byte;
      i += 2;
    } else {
      FUZZ_CHECK(Unreserved(encoded[i]));
      decoded += encoded[i];
    }
  }
  FUZZ_CHECK(decoded == text);
  return 0;
}
