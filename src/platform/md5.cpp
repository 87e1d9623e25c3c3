#include "platform/md5.h"

#include <fstream>
#include <vector>

#include "platform/utf8_path.h"

namespace tb::platform {

std::string HexOf(const std::array<uint8_t, 16>& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

std::string Md5HexOfText(std::string_view bytes) {
  Md5Digest md5;
  std::string error;
  std::array<uint8_t, 16> digest{};
  if (!md5.Start(error) || !md5.Update(bytes.data(), bytes.size(), error) ||
      !md5.Finish(digest, error)) {
    return {};
  }
  return HexOf(digest);
}

std::string Md5HexOfFile(const std::string& pathUtf8, int64_t& size) {
  size = 0;
  std::ifstream in(PathFromUtf8(pathUtf8), std::ios::binary);
  if (!in.is_open()) return "Error: Cannot open file: " + pathUtf8;
  in.seekg(0, std::ios::end);
  std::streamoff end = in.tellg();
  if (end < 0) return "Error: Cannot determine file size: " + pathUtf8;
  size = static_cast<int64_t>(end);
  in.seekg(0, std::ios::beg);
  if (!in) return "Error: Cannot seek file: " + pathUtf8;

  Md5Digest md5;
  std::string error;
  if (!md5.Start(error)) return error;
  std::vector<char> block(8192);
  for (;;) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    std::streamsize got = in.gcount();
    if (got > 0 && !md5.Update(block.data(), static_cast<size_t>(got), error)) return error;
    if (in.eof()) break;
    // A read that fails before the end must not pass for the digest of a
    // shorter file.
    if (!in) return "Error: Cannot read file: " + pathUtf8;
  }
  std::array<uint8_t, 16> digest{};
  if (!md5.Finish(digest, error)) return error;
  return HexOf(digest);
}

}  // namespace tb::platform
