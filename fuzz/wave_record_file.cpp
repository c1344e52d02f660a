// Arbitrary bytes as a wave record file: the reader accepts or refuses with a
// message, without a crash or an out-of-bounds access, and allocates records
// only for the bytes there are. Read from a stream that can tell its size and
// from one that cannot (a pipe), the bytes give the same verdict, the same
// message and the same record; an accepted record holds what the header allows
// and reads back the same after it is written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>

#include <nel/analysis/wave_record_file.h>

namespace {

// The bytes as a stream that cannot seek.
class PipeBuffer : public std::streambuf {
 public:
  PipeBuffer(const uint8_t* data, size_t size) {
    // The get area is only read.
    char* p = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(p, p, p + size);
  }
};

bool Same(const nel::analysis::WaveRecordFile& a, const nel::analysis::WaveRecordFile& b) {
  return a.sampleRate == b.sampleRate && a.kinds == b.kinds && a.records.size() == b.records.size() &&
         (a.records.empty() ||
          std::memcmp(a.records.data(), b.records.data(), a.records.size() * sizeof(tagSAVE_WAVEDATA)) == 0) &&
         a.hasPressures == b.hasPressures && std::memcmp(a.pressures, b.pressures, sizeof a.pressures) == 0;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nel::analysis::WaveRecordFile sized, piped;
  std::string sizedError, pipedError;
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  const bool ok = nel::analysis::ReadWaveRecord(text, sized, sizedError);
  PipeBuffer buffer(data, size);
  std::istream pipe(&buffer);
  Check(nel::analysis::ReadWaveRecord(pipe, piped, pipedError) == ok);
  // Records are allocated for the bytes there are: none beyond them from a
  // sized stream, one step (1024) and the vector's growth at most from a pipe.
  Check(sized.records.capacity() * sizeof(tagSAVE_WAVEDATA) <= size);
  Check(piped.records.capacity() <= 2 * (size / sizeof(tagSAVE_WAVEDATA) + 1024));
  if (!ok) {
    Check(!sizedError.empty() && sizedError == pipedError);
    return 0;
  }
  Check(Same(sized, piped));

  Check(sized.sampleRate >= 1 && sized.sampleRate <= 1000000);
  Check(!sized.kinds.empty() && sized.kinds.size() <= 6);
  for (size_t i = 0; i < sized.kinds.size(); ++i) {
    Check(nel::analysis::WaveKindName(sized.kinds[i]) != nullptr);
    for (size_t j = 0; j < i; ++j) Check(sized.kinds[j] != sized.kinds[i]);
  }
  Check(sized.records.size() * sizeof(tagSAVE_WAVEDATA) < size);  // the header takes bytes too
  for (const auto& p : sized.pressures)
    for (int v : {+p.SBP, +p.DBP, +p.MAP}) Check(v >= -1 && v <= 400);

  std::ostringstream written;
  std::string error;
  Check(nel::analysis::WriteWaveRecord(written, sized, error));
  std::istringstream back(written.str());
  nel::analysis::WaveRecordFile again;
  Check(nel::analysis::ReadWaveRecord(back, again, error) && Same(again, sized));
  return 0;
}
