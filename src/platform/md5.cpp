#include "platform/md5.h"

#include <algorithm>
#include <vector>

#include "platform/file_ops.h"

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

std::string Md5HexOfFile(const std::string& pathUtf8, int64_t& size, std::string* refusal) {
  size = 0;
  std::string why;
  std::unique_ptr<RegularFileReader> file = OpenRegularFile(pathUtf8, why);
  if (refusal) *refusal = why;
  if (!file) return "Error: Cannot open file: " + pathUtf8;
  const int64_t end = file->Size();
  if (end < 0) return "Error: Cannot determine file size: " + pathUtf8;
  size = end;

  Md5Digest md5;
  std::string error;
  if (!md5.Start(error)) return error;
  std::vector<char> block(8192);
  // No further than the size measured at the open: a file that keeps growing
  // (or a pseudo-file without end) cannot keep the request reading.
  int64_t left = end;
  while (left > 0) {
    const int64_t got =
        file->Read(block.data(), static_cast<size_t>(std::min<int64_t>(left, block.size())));
    // A read that fails before the end must not pass for the digest of a
    // shorter file.
    if (got < 0) return "Error: Cannot read file: " + pathUtf8;
    if (got == 0) break;  // shrank meanwhile: what is there is the document
    if (!md5.Update(block.data(), static_cast<size_t>(got), error)) return error;
    left -= got;
  }
  std::array<uint8_t, 16> digest{};
  if (!md5.Finish(digest, error)) return error;
  return HexOf(digest);
}

}  // namespace tb::platform
