// The strict UTF-8 conversions: StrictUtf8 keeps valid text or gives the
// empty text, and agrees with the round trip through UTF-16 both ways.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string strict = tb::StrictUtf8(text);
  // Everything is read up to the first NUL.
  const std::string_view upToNulText = text.substr(0, text.find('\0'));
  FUZZ_CHECK(strict.empty() || strict == upToNulText);
  std::u16string wide = tb::FromUtf8(text);
  FUZZ_CHECK(tb::ToUtf8(wide) == strict);
  FUZZ_CHECK(wide.empty() == strict.empty());
  if (!strict.empty()) FUZZ_CHECK(tb::FromUtf8(strict) == wide);

  // The same bytes read as UTF-16 code units.
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  std::string narrow = tb::ToUtf8(units);
  std::u16string upToNul = units.substr(0, units.find(u'\0'));
  if (!narrow.empty()) {
    FUZZ_CHECK(tb::StrictUtf8(narrow) == narrow);
    FUZZ_CHECK(tb::FromUtf8(narrow) == upToNul);
  }
  return 0;
}
