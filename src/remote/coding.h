// Byte coding: how numbers and texts are written as bytes for another machine, and read back.
// The protocol's messages (remote/wire.h) are built from these pieces; nothing here knows a
// message.
//
// The byte order is fixed, whatever the order of the machine that runs the code:
// - fixed-width integers (Fixed32, Fixed64) are little-endian: lowest byte first;
// - a double is its IEEE 754 binary64 bits as a Fixed64;
// - a varint is an unsigned integer in groups of 7 bits, lowest group first, the high bit of
//   each byte set when another byte follows (at most 10 bytes for 64 bits);
// - a signed integer is zigzag-coded first (0, -1, 1, -2 ... become 0, 1, 2, 3 ...), so that
//   small magnitudes of either sign stay short;
// - a text is its byte count as a varint, then its bytes; a flag is one byte, 0 or 1.
//
// ByteWriter appends to a std::string. ByteReader reads a byte span; every read checks the bytes
// that are there, and anything that does not fit (too few bytes, a varint longer than 64 bits, a
// count larger than the remaining bytes could hold, a flag other than 0 or 1) throws
// ProtocolError. Neither allocates for a count it has not checked.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "remote/server_object.h"

namespace remote {

// Bytes that do not follow the protocol. Thrown by ByteReader and by the message decoders.
class ProtocolError : public ServerError {
 public:
  using ServerError::ServerError;
};

namespace coding {

inline constexpr std::size_t kMaxVarint64Bytes = 10;

// "Malformed protocol message: <what>".
[[noreturn]] void ThrowMalformed(const char* what);

// --- Fixed-width integers, little-endian ---

inline void EncodeFixed32(char* dst, uint32_t v) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void EncodeFixed64(char* dst, uint64_t v) {
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t DecodeFixed32(const char* src) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(src[i])) << (8 * i);
  return v;
}
inline uint64_t DecodeFixed64(const char* src) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(src[i])) << (8 * i);
  return v;
}

// --- Zigzag ---

inline uint64_t ZigZag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t UnZigZag(uint64_t z) {
  return static_cast<int64_t>((z >> 1) ^ (~(z & 1) + 1));
}

// --- Varints ---

// Writes `v` at `dst` (room for kMaxVarint64Bytes) and returns the end of what was written.
inline char* EncodeVarint64(char* dst, uint64_t v) {
  while (v >= 0x80) {
    *dst++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *dst++ = static_cast<char>(v);
  return dst;
}
inline std::size_t VarintLength(uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Appends to a string through a raw pointer: the string is grown ahead in large steps and cut
// to the bytes written when the writer ends, so that writing a value costs no per-byte checks.
// The string may already hold bytes (a frame header); they stay in front.
class ByteWriter {
 public:
  // A reused buffer keeps at most this much of its earlier size as room to start with.
  static constexpr std::size_t kReuseLimit = std::size_t{128} << 10;

  explicit ByteWriter(std::string& out) : out_(out), base_(out.size()) {
    // Start with the room the buffer already has (a reused buffer holds the previous message's
    // size), bounded so that a small message never pays for filling a large buffer.
    out_.resize(std::max(base_ + 256, std::min(out_.capacity(), base_ + kReuseLimit)));
    p_ = out_.data() + base_;
    end_ = out_.data() + out_.size();
  }
  ~ByteWriter() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  void U8(uint8_t v) {
    Ensure(1);
    *p_++ = static_cast<char>(v);
  }
  void Bool(bool b) { U8(b ? 1 : 0); }
  void Fixed32(uint32_t v) {
    Ensure(4);
    EncodeFixed32(p_, v);
    p_ += 4;
  }
  void Fixed64(uint64_t v) {
    Ensure(8);
    EncodeFixed64(p_, v);
    p_ += 8;
  }
  void Double(double d) { Fixed64(std::bit_cast<uint64_t>(d)); }
  void Varint(uint64_t v) {
    Ensure(kMaxVarint64Bytes);
    p_ = EncodeVarint64(p_, v);
  }
  void Signed(int64_t v) { Varint(ZigZag(v)); }
  void Bytes(const void* p, std::size_t n) {
    Ensure(n);
    if (n != 0) std::memcpy(p_, p, n);
    p_ += n;
  }
  // The byte count, then the bytes.
  void Str(std::string_view s) {
    Ensure(kMaxVarint64Bytes + s.size());
    p_ = EncodeVarint64(p_, s.size());
    if (!s.empty()) std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }

  // Bytes written so far by this writer.
  std::size_t Written() const { return static_cast<std::size_t>(p_ - out_.data()) - base_; }

 private:
  void Ensure(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) >= n) return;
    Grow(n);
  }
  void Grow(std::size_t n);

  std::string& out_;
  std::size_t base_;
  char* p_;
  char* end_;
};

// Reads a byte span from the front. The span must outlive the reader and every view it returns.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes)
      : p_(reinterpret_cast<const uint8_t*>(bytes.data())), end_(p_ + bytes.size()) {}

  std::size_t Left() const { return static_cast<std::size_t>(end_ - p_); }
  bool AtEnd() const { return p_ == end_; }
  // Fails with "trailing bytes" unless every byte has been read.
  void End() const {
    if (!AtEnd()) ThrowMalformed("trailing bytes");
  }

  uint8_t U8() {
    if (p_ == end_) ThrowMalformed("truncated");
    return *p_++;
  }
  bool Bool() {
    uint8_t b = U8();
    if (b > 1) ThrowMalformed("bad flag");
    return b == 1;
  }
  uint32_t Fixed32() {
    Need(4);
    uint32_t v = DecodeFixed32(reinterpret_cast<const char*>(p_));
    p_ += 4;
    return v;
  }
  uint64_t Fixed64() {
    Need(8);
    uint64_t v = DecodeFixed64(reinterpret_cast<const char*>(p_));
    p_ += 8;
    return v;
  }
  double Double() { return std::bit_cast<double>(Fixed64()); }
  uint64_t Varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b = U8();
      if (shift == 63 && b > 1) ThrowMalformed("integer out of range");
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return v;
    }
    ThrowMalformed("integer too long");
  }
  int64_t Signed() { return UnZigZag(Varint()); }
  // A signed value that must fit 32 bits ("number out of range" otherwise).
  int32_t I32() {
    int64_t v = Signed();
    if (v < INT32_MIN || v > INT32_MAX) ThrowMalformed("number out of range");
    return static_cast<int32_t>(v);
  }
  // A varint that must fit 32 bits.
  uint32_t U32() {
    uint64_t v = Varint();
    if (v > UINT32_MAX) ThrowMalformed("number out of range");
    return static_cast<uint32_t>(v);
  }
  void Bytes(void* out, std::size_t n) {
    Need(n);
    if (n != 0) std::memcpy(out, p_, n);
    p_ += n;
  }
  // A text written by ByteWriter::Str, as a view into the span.
  std::string_view StrView() {
    uint64_t n = Varint();
    if (n > Left()) ThrowMalformed("text longer than the message");
    std::string_view s(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
    p_ += n;
    return s;
  }
  std::string Str() { return std::string(StrView()); }
  // The next `n` bytes, as a view into the span.
  std::string_view View(std::size_t n) {
    Need(n);
    std::string_view s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  // A count of elements that each take at least `min_bytes` bytes: a count that the remaining
  // bytes cannot hold is refused before anything is allocated for it.
  std::size_t Count(std::size_t min_bytes = 1) {
    uint64_t n = Varint();
    if (n > Left() / min_bytes) ThrowMalformed("count larger than the message");
    return static_cast<std::size_t>(n);
  }

 private:
  void Need(std::size_t n) const {
    if (Left() < n) ThrowMalformed("truncated");
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace coding
}  // namespace remote
