// The device end of a pseudo-terminal, written for tests: the library opens
// the terminal end (the real serial code path) and the test plays the unit on
// the other end. The peer records every byte it receives and may answer from
// its own thread. Frames are encoded here by hand, independently of the
// library's decoder.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nel::test {

using Bytes = std::vector<uint8_t>;

class PtyPeer {
 public:
  // Called on the peer's thread for each received byte; may call Send.
  using Responder = std::function<void(uint8_t byte, PtyPeer& peer)>;

  explicit PtyPeer(Responder responder = nullptr) : responder_(std::move(responder)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("pty");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    path_ = name;
    // Holding the terminal end open keeps the master from reporting a hang-up
    // while the library has the port closed. It is never read.
    holder_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }
  ~PtyPeer() {
    Stop();
    if (master_ >= 0) close(master_);
    if (holder_ >= 0) close(holder_);
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& Path() const { return path_; }

  void SetResponder(Responder r) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(r);
  }

  // Writes all bytes (waits while the terminal's input queue is full).
  void Send(const Bytes& bytes) {
    std::lock_guard lock(writeMutex_);
    size_t done = 0;
    while (done < bytes.size() && master_ >= 0) {
      const ssize_t r = write(master_, bytes.data() + done, bytes.size() - done);
      if (r > 0) {
        done += static_cast<size_t>(r);
      } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
      } else {
        return;
      }
    }
  }

  Bytes Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }
  // Waits until at least n bytes were received.
  bool WaitReceived(size_t n, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (Received().size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return Received().size() >= n;
  }

  // Bytes sent that the library's side has not read yet (the terminal's
  // input queue, shared by every open of the terminal end).
  int Unread() const {
    int n = 0;
    if (holder_ < 0 || ioctl(holder_, FIONREAD, &n) != 0) return -1;
    return n;
  }

  // The unit goes away: both ends held by the peer are closed.
  void HangUp() {
    Stop();
    close(master_);
    master_ = -1;
    if (holder_ >= 0) close(holder_);
    holder_ = -1;
  }

 private:
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void Run() {
    uint8_t buf[256];
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      const int r = poll(&p, 1, 5);
      if (r <= 0) continue;
      if (!(p.revents & POLLIN)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        Responder responder;
        {
          std::lock_guard lock(mutex_);
          received_.push_back(buf[i]);
          responder = responder_;
        }
        if (responder) responder(buf[i], *this);
      }
    }
  }

  int master_ = -1;
  int holder_ = -1;
  std::string path_;
  std::mutex mutex_;
  std::mutex writeMutex_;
  Bytes received_;
  Responder responder_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One "data raw" frame as the unit sends it: code 0x90, three carrier bytes,
// four 24-bit transducer values (most significant byte first), the ECG/PCG
// nibble byte, ECG low byte, PCG low byte; bit 7 of every data byte moved to
// its carrier.
inline Bytes DataRawFrame(int ecg, int pcg, const int32_t transducer[4]) {
  uint8_t data[18] = {};
  for (int t = 0; t < 4; ++t) {
    const uint32_t v = static_cast<uint32_t>(transducer[t]) & 0xFFFFFFu;
    data[3 + 3 * t] = static_cast<uint8_t>(v >> 16);
    data[4 + 3 * t] = static_cast<uint8_t>(v >> 8);
    data[5 + 3 * t] = static_cast<uint8_t>(v);
  }
  data[15] = static_cast<uint8_t>(((ecg >> 8) & 0x0F) << 4 | ((pcg >> 8) & 0x0F));
  data[16] = static_cast<uint8_t>(ecg & 0xFF);
  data[17] = static_cast<uint8_t>(pcg & 0xFF);
  for (int k = 3; k <= 17; ++k) {
    if (!(data[k] & 0x80)) continue;
    data[k] &= 0x7F;
    if (k <= 9)
      data[0] |= static_cast<uint8_t>(1 << (k - 3));
    else if (k <= 16)
      data[1] |= static_cast<uint8_t>(1 << (k - 10));
    else
      data[2] |= 1;
  }
  Bytes frame(19);
  frame[0] = 0x90;
  for (size_t k = 0; k < 18; ++k) frame[k + 1] = data[k];
  return frame;
}

// `frames` "data raw" frames of a streaming unit (10 ms of them at 1000 a
// second for 10): the right-brachial value is the running frame count, the
// other transducers fixed; `count` advances by `frames`.
inline Bytes DataRawBurst(int32_t& count, int frames) {
  Bytes burst;
  for (int i = 0; i < frames; ++i, ++count) {
    const int32_t t[4] = {count, 2000000, 3000000, 4000000};
    const Bytes f = DataRawFrame(count & 0xFFF, 2048, t);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  return burst;
}

// The 62-byte coefficient payload of twelve floats (Slope, Offset per channel).
inline Bytes CoeffPayload(const float values[12]) {
  Bytes payload(62, 0);
  for (int v = 0; v < 12; ++v) {
    uint32_t bits;
    std::memcpy(&bits, &values[v], 4);
    for (int k = 0; k < 4; ++k) {
      const int i = 4 * v + k;
      uint8_t b = static_cast<uint8_t>(bits >> (8 * k));
      if (b & 0x80) payload[static_cast<size_t>(i / 7)] |= static_cast<uint8_t>(0x40 >> (i % 7));
      payload[static_cast<size_t>(10 + i)] = b & 0x7F;
    }
  }
  return payload;
}

}  // namespace nel::test
