// The primitives of the site-key challenge-response: HMAC-SHA-256 and random challenge bytes,
// from the platform's own cryptography (OpenSSL's libcrypto on Linux, CNG/BCrypt on Windows).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace remote {

std::array<uint8_t, 32> HmacSha256(std::string_view key, std::string_view message);

// Fills `out` with cryptographically strong random bytes; throws ServerError when the platform
// cannot provide them.
void RandomBytes(uint8_t* out, std::size_t size);

// Compares two byte strings in time that depends only on their length.
bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, std::size_t size);

}  // namespace remote
