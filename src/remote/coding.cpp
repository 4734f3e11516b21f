#include "remote/coding.h"

namespace remote::coding {

void ThrowMalformed(const char* what) {
  throw ProtocolError(std::string("Malformed protocol message: ") + what);
}

void ByteWriter::Grow(std::size_t n) {
  std::size_t used = static_cast<std::size_t>(p_ - out_.data());
  out_.resize(std::max(out_.size() * 2, used + n + 256));
  p_ = out_.data() + used;
  end_ = out_.data() + out_.size();
}

}  // namespace remote::coding
