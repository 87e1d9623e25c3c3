#pragma once
// MD5 digests of texts and files, as 32 lowercase hex digits. The digest
// itself comes from the platform's crypto provider (CryptoAPI on Windows,
// OpenSSL on Linux).
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tb::platform {

// One running digest over the platform provider. Each step reports failure
// with a text that begins with "Error:" and names the failed provider call;
// after a failure the digest gives no result. One thread at a time.
class Md5Digest {
 public:
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;

  // Acquires the provider and starts the digest.
  bool Start(std::string& error);
  bool Update(const void* data, size_t size, std::string& error);
  bool Finish(std::array<uint8_t, 16>& digest, std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole text at once; empty text when the digest cannot be computed.
// Any thread, like the two below.
std::string Md5HexOfText(std::string_view bytes);

// The file's bytes, read in blocks of 8192 bytes from the one handle that
// was checked to be a regular file (OpenRegularFile), no further than the
// size measured at the open. On failure a text that begins with "Error:"
// ("Error: Cannot open file: <path>", "Error: Cannot determine file size:
// <path>", "Error: Cannot read file: <path>", or the provider's step); then
// `refusal`, when given, says why the path was refused for what it names
// (empty for an ordinary failure). `size` is 0 until the file's size is known,
// then that size.
std::string Md5HexOfFile(const std::string& pathUtf8, int64_t& size,
                         std::string* refusal = nullptr);

std::string HexOf(const std::array<uint8_t, 16>& digest);

}  // namespace tb::platform
