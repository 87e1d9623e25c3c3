#include "support/print_programs.h"

#include <sys/stat.h>

#include <thread>

#include "printing/print_execution.h"

namespace tbtest {

void PlacePrintProgram(const TempFolder& folder, const std::string& shellBody) {
  std::string path = folder / tb::printing::kPrintProgram;
  WriteFile(path, "#!/bin/sh\n" + shellBody + "\n");
  ::chmod(path.c_str(), 0755);
}

std::string Base64Encode(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[k])); };
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (bytes.size() - i == 1) {
    uint32_t v = byte(i) << 16;
    out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    uint32_t v = byte(i) << 16 | byte(i + 1) << 8;
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return out;
}

nlohmann::json PostPrint(httplib::Client& client, const nlohmann::json& body, int* status) {
  auto r = client.Post("/print", body.dump(), "application/json");
  if (!r) return nullptr;
  if (status) *status = r->status;
  return nlohmann::json::parse(r->body, nullptr, false);
}

nlohmann::json History(httplib::Client& client) {
  auto r = client.Get("/history");
  if (!r || r->status != 200) return nullptr;
  return nlohmann::json::parse(r->body, nullptr, false);
}

bool WaitForLog(const DaemonProcess& daemon, const std::string& text,
                std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if ((daemon.Stdout() + daemon.Stderr()).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace tbtest
