#include "remote/compression.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "remote/coding.h"

namespace remote::compression {

namespace {

// A thread's deflate state, kept from one message to the next: a server sends the chunks of a
// long list one after the other, and setting the state up afresh each time costs more than
// compressing a small chunk.
class Deflater {
 public:
  ~Deflater() {
    if (level_ != 0) deflateEnd(&z_);
  }
  z_stream& Ready(int level) {
    if (level_ == level) {
      deflateReset(&z_);
      return z_;
    }
    if (level_ != 0) deflateEnd(&z_);
    level_ = 0;
    z_ = z_stream{};
    if (deflateInit(&z_, level) != Z_OK) throw ServerError("Cannot start compressing a reply");
    level_ = level;
    return z_;
  }

 private:
  z_stream z_{};
  int level_ = 0;
};

}  // namespace

void Deflate(std::string_view in, int level, std::string& out) {
  if (in.size() > UINT_MAX) throw ServerError("A reply is too large to compress");
#ifdef _WIN32
  Deflater deflater;  // a DLL keeps no per-thread state that could outlive its unloading
#else
  thread_local Deflater deflater;
#endif
  z_stream& z = deflater.Ready(level);
  const std::size_t base = out.size();
  out.resize(base + deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data() + base);
  z.avail_out = static_cast<uInt>(out.size() - base);
  const int status = deflate(&z, Z_FINISH);
  const std::size_t written = z.total_out;
  if (status != Z_STREAM_END) throw ServerError("Cannot compress a reply");
  out.resize(base + written);
}

void Inflate(std::string_view in, std::size_t size, std::string& out) {
  if (size > kMaxInflatedBytes) coding::ThrowMalformed("compressed message larger than the limit");
  if (in.size() > UINT_MAX) coding::ThrowMalformed("compressed message larger than the limit");
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw ServerError("Cannot start inflating a reply");
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  const std::size_t base = out.size();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  // Room as the bytes come: a stream cannot make us reserve its announced size up front.
  std::size_t room = std::min(size, std::max<std::size_t>(std::size_t{64} << 10, in.size() * 8));
  std::size_t produced = 0;
  int status = Z_OK;
  for (;;) {
    out.resize(base + room);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + base + produced);
    z.avail_out = static_cast<uInt>(room - produced);
    status = inflate(&z, Z_NO_FLUSH);
    produced = room - z.avail_out;
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) {
      out.resize(base);
      coding::ThrowMalformed("damaged compressed message");
    }
    if (z.avail_out != 0) {  // input used up before the stream's end
      out.resize(base);
      coding::ThrowMalformed("compressed message cut short");
    }
    if (room == size) {
      // Full, and the stream goes on: see whether it would give more than announced.
      unsigned char probe;
      z.next_out = &probe;
      z.avail_out = 1;
      status = inflate(&z, Z_NO_FLUSH);
      if (status == Z_STREAM_END && z.avail_out == 1) break;  // only the checksum was left
      out.resize(base);
      if (z.avail_out == 1 && z.avail_in == 0 && (status == Z_OK || status == Z_BUF_ERROR))
        coding::ThrowMalformed("compressed message cut short");
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
        coding::ThrowMalformed("damaged compressed message");
      coding::ThrowMalformed("compressed message longer than announced");
    }
    room = std::min(size, room * 2);
  }
  if (produced != size || z.avail_in != 0) {
    out.resize(base);
    coding::ThrowMalformed(produced != size ? "compressed message shorter than announced"
                                            : "trailing bytes after the compressed message");
  }
  out.resize(base + produced);
}

}  // namespace remote::compression
