#include "base/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace osmira_base {
namespace {

// The digest is fetched once and shared: fetching per call costs more than hashing a
// small input. A fetched EVP_MD is immutable and safe to use from several threads.
const EVP_MD* sha256_md() {
  static const EVP_MD* md = [] {
    const EVP_MD* m = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (m == nullptr) std::abort();
    return m;
  }();
  return md;
}

std::string to_hex(const unsigned char* bytes, unsigned len) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s(len * 2, '0');
  for (unsigned i = 0; i < len; ++i) {
    s[2 * i] = kHex[bytes[i] >> 4];
    s[2 * i + 1] = kHex[bytes[i] & 0xf];
  }
  return s;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), sha256_md(), nullptr) != 1) {
    std::abort();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(std::string_view data) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data.data(), data.size());
}

std::string Sha256::hex_digest() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out, &len);
  return to_hex(out, len);
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data);
  return h.hex_digest();
}

}  // namespace osmira_base
