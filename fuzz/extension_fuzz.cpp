// NormalizeExtension and IsValidExtension on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "printing/print_intake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out = tb::printing::NormalizeExtension(text);
  FUZZ_CHECK(out.empty() || out.front() != '.');
  FUZZ_CHECK(out.size() <= text.size());
  for (char c : out) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
  FUZZ_CHECK(tb::printing::NormalizeExtension(out) == out);
  if (tb::printing::IsValidExtension(out)) {
    FUZZ_CHECK(!out.empty() && out.size() <= 16);
    for (char c : out) FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
  }
  return 0;
}
