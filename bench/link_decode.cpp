// Bytes through the sample stream's decode path (GetData: ring drain, frame
// unpacking, decoding and the pressure conversion), as a multiple of the
// line's 19,000 bytes per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <nel/link/sam_thread.h>

namespace {

constexpr double kLineBytesPerSecond = 19000.0;

// One second of the unit's stream: 1000 "data raw" frames with varying values.
std::vector<unsigned char> OneSecondOfFrames() {
  std::vector<unsigned char> stream;
  for (int i = 0; i < 1000; ++i) {
    unsigned char data[18] = {};
    for (int t = 0; t < 4; ++t) {
      const uint32_t v = static_cast<uint32_t>(400000 + 977 * i + 50000 * t) & 0xFFFFFF;
      data[3 + 3 * t] = static_cast<unsigned char>(v >> 16);
      data[4 + 3 * t] = static_cast<unsigned char>(v >> 8);
      data[5 + 3 * t] = static_cast<unsigned char>(v);
    }
    data[15] = static_cast<unsigned char>(((i >> 8) & 0x0F) << 4 | 0x08);
    data[16] = static_cast<unsigned char>(i);
    data[17] = 0x55;
    for (int k = 3; k <= 17; ++k) {
      if (!(data[k] & 0x80)) continue;
      data[k] &= 0x7F;
      if (k <= 9)
        data[0] |= static_cast<unsigned char>(1 << (k - 3));
      else if (k <= 16)
        data[1] |= static_cast<unsigned char>(1 << (k - 10));
      else
        data[2] |= 1;
    }
    stream.push_back(0x90);
    stream.insert(stream.end(), data, data + 18);
  }
  return stream;
}

void BM_GetDataDecode(benchmark::State& state) {
  static const std::vector<unsigned char> stream = OneSecondOfFrames();
  TSamThread sam;
  QXProtocol& port = sam.Protocol();
  tagSAM_DATA out[TSamThread::kMaxFramesPerCall];
  size_t at = 0;
  int64_t bytes = 0;
  int64_t frames = 0;
  constexpr int kChunk = TSerialPort::kReadChunk;  // as the reader stores them
  for (auto _ : state) {
    // One pass: the reader's chunks up to one pass's worth, then one GetData.
    for (int stored = 0; stored < TSamThread::kStagingBytes; stored += kChunk) {
      const int n = static_cast<int>(std::min<size_t>(kChunk, stream.size() - at));
      port.InjectReceived(stream.data() + at, n);
      at = (at + static_cast<size_t>(n)) % stream.size();
    }
    const int got = sam.GetData(out);
    benchmark::DoNotOptimize(out[0]);
    frames += got;
    bytes += TSamThread::kStagingBytes;
  }
  state.SetBytesProcessed(bytes);
  state.counters["frames_per_pass"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
  state.counters["x_line_rate"] =
      benchmark::Counter(static_cast<double>(bytes) / kLineBytesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetDataDecode);

}  // namespace

BENCHMARK_MAIN();
