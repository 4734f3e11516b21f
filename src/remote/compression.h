// Compression of large replies: zlib's deflate (RFC 1950 streams, whose Adler-32 checksum also
// catches bytes damaged on the way). Statically linked on Windows, so the DLL needs no zlib1.dll.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace remote::compression {

// A compressed message may announce at most this many bytes once inflated; more is refused
// before anything is allocated for it.
inline constexpr std::size_t kMaxInflatedBytes = std::size_t{32} << 20;

// Appends the zlib stream of `in` to `out`. `level` 1 (fastest) to 9 (smallest).
void Deflate(std::string_view in, int level, std::string& out);

// Appends the inflation of the zlib stream `in` to `out`; it must give exactly `size` bytes
// (at most kMaxInflatedBytes) and end with the last byte of `in`. The output grows with the
// bytes actually produced, never straight to `size`. Throws ProtocolError otherwise (damaged
// stream, wrong checksum, more or fewer bytes than announced, trailing bytes).
void Inflate(std::string_view in, std::size_t size, std::string& out);

}  // namespace remote::compression
