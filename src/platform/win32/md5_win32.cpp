// MD5 through the CryptoAPI: an ephemeral context of the full RSA provider.
#include <windows.h>
#include <wincrypt.h>

#include <limits>

#include "platform/md5.h"

namespace tb::platform {

struct Md5Digest::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  ~State() {
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
  }
};

Md5Digest::Md5Digest() : state_(std::make_unique<State>()) {}
Md5Digest::~Md5Digest() = default;

bool Md5Digest::Start(std::string& error) {
  if (!CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    state_->provider = 0;
    error = "Error: CryptAcquireContext";
    return false;
  }
  if (!CryptCreateHash(state_->provider, CALG_MD5, 0, 0, &state_->hash)) {
    state_->hash = 0;
    error = "Error: CryptCreateHash";
    return false;
  }
  return true;
}

bool Md5Digest::Update(const void* data, size_t size, std::string& error) {
  const BYTE* p = static_cast<const BYTE*>(data);
  // CryptHashData takes a 32-bit length; larger texts go in pieces.
  do {
    DWORD piece = static_cast<DWORD>(
        size > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max() : size);
    if (!state_->hash || !CryptHashData(state_->hash, p, piece, 0)) {
      error = "Error: CryptHashData failed";
      return false;
    }
    p += piece;
    size -= piece;
  } while (size > 0);
  return true;
}

bool Md5Digest::Finish(std::array<uint8_t, 16>& digest, std::string& error) {
  DWORD length = 16;
  if (!state_->hash || !CryptGetHashParam(state_->hash, HP_HASHVAL, digest.data(), &length, 0) ||
      length != 16) {
    error = "Error: CryptGetHashParam failed";
    return false;
  }
  return true;
}

}  // namespace tb::platform
