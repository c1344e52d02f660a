// Arbitrary bytes through the frame protocol and the sample stream: no crash,
// no out-of-bounds access, no frame without its code, the same frames whether
// the bytes are unpacked one by one or in blocks, and never more than 27
// frames from one GetData call.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <nel/link/qx_protocol.h>
#include <nel/link/sam_thread.h>

namespace {

struct Count {
  int frames = 0;
  static void Callback(PACK_BUF* pack, void* context) {
    if (pack->Frame[0] != 0x90) std::abort();
    ++static_cast<Count*>(context)->frames;
  }
};

// Every frame's bytes, in order.
struct Frames {
  std::vector<uint8_t> bytes;
  static void Callback(PACK_BUF* pack, void* context) {
    auto& b = static_cast<Frames*>(context)->bytes;
    b.insert(b.end(), pack->Frame, pack->Frame + QXProtocol::kDataRawBytes);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The protocol alone, with and without a packet callback.
  {
    QXProtocol protocol;
    Count count;
    size_t codes = 0;
    for (size_t i = 0; i < size; ++i) {
      const int last = protocol.UnpackData(data[i], i % 2 ? &Count::Callback : nullptr, &count);
      if (last != 0 && last != data[i]) std::abort();
      if (data[i] & 0x80) ++codes;
    }
    if (static_cast<size_t>(count.frames) > codes) std::abort();
  }
  // Byte by byte and in blocks whose size the first byte chooses.
  if (size > 0) {
    QXProtocol bytewise, blockwise;
    Frames one, many;
    for (size_t i = 0; i < size; ++i) bytewise.UnpackData(data[i], &Frames::Callback, &one);
    const size_t block = 1 + data[0] % 64;
    for (size_t at = 0; at < size; at += block)
      blockwise.UnpackBlock(data + at, static_cast<int>(std::min(block, size - at)), &Frames::Callback, &many);
    if (one.bytes != many.bytes || bytewise.Pack().Code != blockwise.Pack().Code) std::abort();
  }
  // The sample stream: the bytes arrive in the ring in chunks whose sizes the
  // input's first byte chooses, and are drained as a host does.
  if (size == 0) return 0;
  TSamThread sam;
  QXProtocol& port = sam.Protocol();
  const size_t chunk = 1 + data[0] % 200;
  static tagSAM_DATA out[TSamThread::kMaxFramesPerCall];
  for (size_t at = 1; at < size; at += chunk) {
    const size_t n = size - at < chunk ? size - at : chunk;
    port.InjectReceived(data + at, static_cast<int>(n));
    if (port.RingCount() > port.RingSize()) std::abort();
    for (int got; (got = sam.GetData(out)) > 0;)
      if (got > TSamThread::kMaxFramesPerCall) std::abort();
  }
  return 0;
}
