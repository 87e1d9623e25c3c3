// MD5 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "platform/md5.h"

namespace tb::platform {

struct Md5Digest::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }  // accepts null
};

Md5Digest::Md5Digest() : state_(std::make_unique<State>()) {}
Md5Digest::~Md5Digest() = default;

bool Md5Digest::Start(std::string& error) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx) {
    error = "Error: EVP_MD_CTX_new";
    return false;
  }
  if (EVP_DigestInit_ex(state_->ctx, EVP_md5(), nullptr) != 1) {
    error = "Error: EVP_DigestInit_ex";
    return false;
  }
  return true;
}

bool Md5Digest::Update(const void* data, size_t size, std::string& error) {
  if (!state_->ctx || EVP_DigestUpdate(state_->ctx, data, size) != 1) {
    error = "Error: EVP_DigestUpdate failed";
    return false;
  }
  return true;
}

bool Md5Digest::Finish(std::array<uint8_t, 16>& digest, std::string& error) {
  unsigned int length = 0;
  unsigned char out[EVP_MAX_MD_SIZE];
  if (!state_->ctx || EVP_DigestFinal_ex(state_->ctx, out, &length) != 1 || length != 16) {
    error = "Error: EVP_DigestFinal_ex failed";
    return false;
  }
  std::copy(out, out + 16, digest.begin());
  return true;
}

}  // namespace tb::platform
