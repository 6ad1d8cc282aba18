// SHA-256 digests written as lowercase hexadecimal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace osmira_base {

// The 64 lowercase hexadecimal digits of SHA-256 over `data`.
std::string sha256_hex(std::string_view data);

// Incremental form, for digests fed from several pieces.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view data);
  std::string hex_digest();  // finishes the digest

 private:
  void* ctx_;  // EVP_MD_CTX*
};

}  // namespace osmira_base
