// Base64Decode on arbitrary text: never more bytes than the text can carry,
// and blanks anywhere change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "printing/print_intake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string decoded = tb::printing::Base64Decode(text);
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
