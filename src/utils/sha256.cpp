#include "utils/sha256.hpp"

#include <openssl/evp.h>

#include <memory>

#include "utils/errors.hpp"

namespace brenik::utils {

std::string sha256_hex(std::string_view bytes) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    throw RuntimeError("SHA-256 digest failed");
  static const char hex[] = "0123456789abcdef";
  std::string out(static_cast<std::size_t>(len) * 2, '0');
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = hex[digest[i] >> 4];
    out[2 * i + 1] = hex[digest[i] & 0xF];
  }
  return out;
}

}  // namespace brenik::utils
