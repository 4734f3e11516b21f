// Row sets and compressed messages: any bytes either decode or fail with remote::ProtocolError,
// within the limits of rows, values and inflated bytes; whatever decodes writes again into bytes
// that decode to the same rows and write again identically (the writer's choices are stable).
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "remote/compression.h"
#include "remote/rowset.h"
#include "remote/wire.h"

namespace {

std::string Written(const std::vector<remote::Row>& rows) {
  std::string out;
  {
    remote::coding::ByteWriter w(out);
    remote::rowset::Write(w, rows);
  }
  return out;
}

std::vector<remote::Row> Read(std::string_view bytes) {
  std::vector<remote::Row> rows;
  remote::coding::ByteReader r(bytes);
  remote::rowset::Budget budget;
  remote::rowset::Read(r, rows, budget, 1, remote::wire::kMaxDepth);
  r.End();
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The bytes as a row set.
  std::vector<remote::Row> rows;
  bool decoded = true;
  try {
    rows = Read(bytes);
  } catch (const remote::ProtocolError&) {
    decoded = false;
  }
  if (decoded) {
    const std::string once = Written(rows);
    const std::string twice = Written(Read(once));  // must not throw: we wrote it ourselves
    if (once != twice) std::abort();
  }
  // The bytes as a compressed message: the first two bytes announce the inflated size.
  if (size >= 2) {
    const std::size_t announced = (std::size_t{data[0]} << 8 | data[1]) * 64;
    std::string out;
    try {
      remote::compression::Inflate(bytes.substr(2), announced, out);
      if (out.size() != announced) std::abort();
    } catch (const remote::ProtocolError&) {
      if (!out.empty()) std::abort();  // nothing is left behind by a refused stream
    }
  }
  // The fixed-point numbers: whatever the integer, its double converts back to it or is refused.
  if (size >= 9) {
    int64_t k = 0;
    std::memcpy(&k, data, 8);
    k >>= 4;  // |k| < 2^60
    const int decimals = data[8] % (remote::rowset::kMaxDecimals + 1);
    const double v = remote::rowset::FromDecimal(k, decimals);
    int64_t back = 0;
    if (remote::rowset::ToDecimal(v, decimals, back) &&
        std::bit_cast<uint64_t>(remote::rowset::FromDecimal(back, decimals)) !=
            std::bit_cast<uint64_t>(v))
      std::abort();
  }
  return 0;
}
