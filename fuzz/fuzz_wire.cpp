// Message decoding: any bytes either decode or fail with remote::ProtocolError; whatever decodes
// encodes again, and that encoding decodes to the same message (re-encoding is stable).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remote/wire.h"

namespace {

template <class Message, class Decode>
void RoundTrip(std::string_view bytes, Decode decode) {
  Message m;
  try {
    m = decode(bytes);
  } catch (const remote::ProtocolError&) {
    return;
  }
  std::string once, twice;
  remote::wire::Encode(m, once);
  Message again = decode(once);  // must not throw: we wrote it ourselves
  remote::wire::Encode(again, twice);
  if (once != twice) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RoundTrip<remote::wire::ClientMessage>(
      bytes, [](std::string_view b) { return remote::wire::DecodeClientMessage(b); });
  RoundTrip<remote::wire::ServerMessage>(
      bytes, [](std::string_view b) { return remote::wire::DecodeServerMessage(b); });
  std::vector<remote::Row> rows;
  try {
    remote::wire::AppendRowsChunk(bytes, rows);
  } catch (const remote::ProtocolError&) {
  }
  return 0;
}
