// The status page with arbitrary printer names, states and settings: the
// page builds, and no printer text reaches it unescaped.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "routes/status_page.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  tb::StatusPageInputs inputs;
  inputs.autoScalePdf = in.ConsumeBool();
  inputs.printSettings = tb::StrictUtf8(in.ConsumeRandomLengthString(32));
  inputs.queryTime = tb::StrictUtf8(in.ConsumeRandomLengthString(32));
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < count; ++i) {
    nlohmann::json entry = nlohmann::json::object();
    // Names come from the spooler as UTF-8; strict conversion happened there.
    if (in.ConsumeBool()) entry["name"] = tb::StrictUtf8(in.ConsumeRandomLengthString(48));
    if (in.ConsumeBool()) entry["status"] = tb::StrictUtf8(in.ConsumeRandomLengthString(48));
    if (in.ConsumeBool()) entry["default"] = in.ConsumeBool();
    inputs.printers.push_back(entry);
  }
  std::string page = tb::BuildStatusPage(inputs);
  FUZZ_CHECK(!page.empty());
  for (const auto& entry : inputs.printers) {
    for (const char* key : {"name", "status"}) {
      if (!entry.contains(key)) continue;
      const std::string& text = entry[key].get_ref<const std::string&>();
      std::string escaped = tb::HtmlEscape(text);
      FUZZ_CHECK(escaped.find_first_of("<>\"'") == std::string::npos);
      FUZZ_CHECK(page.find(escaped) != std::string::npos);
    }
  }
  return 0;
}
