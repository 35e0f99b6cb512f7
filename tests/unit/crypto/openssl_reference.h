// OpenSSL as the reference the core's own cipher and digest are held
// against. Test-only: the product never links OpenSSL.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ko::core::test {

using Bytes = std::vector<uint8_t>;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// AES-128 without padding: ECB on whole blocks when `iv` is null, else CBC.
inline Bytes opensslAes128(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* data, size_t length) {
  CipherContext context(EVP_CIPHER_CTX_new());
  const EVP_CIPHER* cipher = iv == nullptr ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
  Bytes out(length + 16);
  int produced = 0;
  int tail = 0;
  if (context == nullptr || EVP_CipherInit_ex(context.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
      EVP_CipherUpdate(context.get(), out.data(), &produced, data, static_cast<int>(length)) != 1 ||
      EVP_CipherFinal_ex(context.get(), out.data() + produced, &tail) != 1) {
    return {};
  }
  out.resize(static_cast<size_t>(produced + tail));
  return out;
}

inline Bytes opensslSha256(const uint8_t* data, size_t length) {
  Bytes out(32);
  unsigned int size = 0;
  if (EVP_Digest(data, length, out.data(), &size, EVP_sha256(), nullptr) != 1 || size != 32) return {};
  return out;
}

inline Bytes randomBytes(std::mt19937_64& rng, size_t length, bool zeroFree = false) {
  Bytes out(length);
  std::uniform_int_distribution<int> byte(zeroFree ? 1 : 0, 255);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace ko::core::test
