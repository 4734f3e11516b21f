#include "remote/crypto.h"

#include "remote/messages.h"
#include "remote/server_object.h"

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>  // needs the types of windows.h
#else
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#endif

namespace remote {

std::array<uint8_t, 32> HmacSha256(std::string_view key, std::string_view message) {
  std::array<uint8_t, 32> mac{};
#ifdef _WIN32
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                        BCRYPT_ALG_HANDLE_HMAC_FLAG) == 0;
  ok = ok && BCryptCreateHash(alg, &hash, nullptr, 0,
                              reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                              static_cast<ULONG>(key.size()), 0) == 0;
  ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                            static_cast<ULONG>(message.size()), 0) == 0;
  ok = ok && BCryptFinishHash(hash, mac.data(), static_cast<ULONG>(mac.size()), 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) throw msg::Error(msg::HmacUnavailable());
#else
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
            &len) ||
      len != mac.size()) {
    throw msg::Error(msg::HmacUnavailable());
  }
#endif
  return mac;
}

void RandomBytes(uint8_t* out, std::size_t size) {
#ifdef _WIN32
  if (BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw msg::Error(msg::NoRandomNumbers());
#else
  if (RAND_bytes(out, static_cast<int>(size)) != 1) throw msg::Error(msg::NoRandomNumbers());
#endif
}

bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, std::size_t size) {
  volatile uint8_t diff = 0;
  for (std::size_t i = 0; i < size; ++i) diff = diff | (a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace remote
