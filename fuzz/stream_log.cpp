// Arbitrary bytes as a session's stream log: the reader accepts or refuses
// with the offset of the bad record, without a crash or an out-of-bounds
// access; an accepted log holds exactly the records its bytes describe, each
// within the payload limit, and a 'T' record carries its count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nel/link/stream_log.h>

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<nel::link::StreamRecord> records;
  std::string error;
  const bool ok = nel::link::ParseStreamLog(data, size, records, error);
  Check(ok == error.empty());
  if (!ok) {
    Check(error.find("not a stream log") == 0 || error.find(" at byte ") != std::string::npos);
    return 0;
  }
  size_t bytes = 8;
  for (const auto& r : records) {
    Check(r.kind == 'U' || r.kind == 'D' || r.kind == 'H' || r.kind == 'T' || r.kind == 'C');
    Check(r.bytes.size() <= static_cast<size_t>(nel::link::kStreamLogMaxPayload));
    Check(r.kind == 'T' ? r.bytes.empty() : static_cast<size_t>(r.count) == r.bytes.size());
    bytes += nel::link::kStreamLogHeadBytes + (r.kind == 'T' ? 4 : r.bytes.size());
  }
  Check(bytes == size);
  return 0;
}
