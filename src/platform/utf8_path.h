#pragma once
// UTF-8 text <-> std::filesystem::path, the same on both platforms (on Windows
// the path is UTF-16 inside).
#include <filesystem>
#include <string>

namespace tb {

inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string PathToUtf8(const std::filesystem::path& path) {
  std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace tb
