// The frames a device hands to a C host: a ring of nel_frame records filled by
// the acquisition thread after each pass and emptied by the host's reads.
// Allocated once; a push or a read allocates nothing. When the host is behind,
// the oldest frames go and are counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <nel/nel_c.h>
#include <nel/platform/event.h>

namespace nel::capi {

class FrameQueue {
 public:
  explicit FrameQueue(size_t capacity) : ring_(capacity) {}

  // Appends n frames of one pass: `waves` n*waveCount values, `pressures`
  // n*cuffCount values, frame by frame.
  void Push(const float* waves, const float* pressures, int n, int waveCount, int cuffCount);
  // Moves up to `capacity` frames, oldest first; returns the number moved.
  size_t Read(nel_frame* out, size_t capacity);
  // True once a frame waits, false when timeoutMs passed first.
  bool Wait(int timeoutMs);
  uint64_t Taken() const;
  uint64_t Dropped() const;
  // Readable while a frame waits, and after a read took the last frame until
  // a read finds nothing.
  int Descriptor() const { return ready_.Descriptor(); }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<nel_frame> ring_;
  size_t head_ = 0, count_ = 0;
  uint64_t taken_ = 0, dropped_ = 0;
  nel::platform::Event ready_;
};

}  // namespace nel::capi
