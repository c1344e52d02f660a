#include "unit_server.h"

#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include <nel/platform/port_names.h>

namespace nel::sim {

namespace {
constexpr int64_t kMaxFramesPerTurn = 5000;  // catch-up limit of one loop turn
}

UnitServer::UnitServer(const SubjectConfig& cfg, Options opt) : opt_(std::move(opt)), unit_(cfg) {
  if (opt_.clock == Clock::kRealTime) {
    const double quarter_second = 0.25 * kFramesPerSecond * opt_.speed * kDataRawLength;
    unit_.SetOutputLimit(opt_.output_limit ? opt_.output_limit
                                           : std::max<size_t>(16384, static_cast<size_t>(quarter_second)));
  }
}

UnitServer::~UnitServer() { Stop(); }

std::string UnitServer::DevicePath() const {
  std::lock_guard lock(mu_);
  return device_;
}

bool UnitServer::LineOpen() const {
  std::lock_guard lock(mu_);
  return master_ >= 0;
}

bool UnitServer::OpenLine(std::string* error) {
  PtyLine line;
  if (!OpenPtyLine(opt_.port, opt_.link_dir, line, error)) return false;
  master_ = line.master;
  slave_ = line.slave;
  device_ = line.device;
  return true;
}

void UnitServer::CloseLine() {
  PtyLine line{master_, slave_, device_};
  ClosePtyLine(line);
  slave_ = master_ = -1;
}

bool UnitServer::Start(std::string* error) {
  if (started_) return true;
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  {
    std::lock_guard lock(mu_);
    if (!OpenLine(error)) return false;
  }
  stop_ = false;
  thread_ = std::thread(&UnitServer::Run, this);
  started_ = true;
  return true;
}

void UnitServer::Stop() {
  if (!started_) return;
  stop_ = true;
  Wake();
  thread_.join();
  started_ = false;
  std::lock_guard lock(mu_);
  CloseLine();
  UnregisterPtyLine(opt_.port, opt_.link_dir);
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  flushed_.notify_all();
}

void UnitServer::Wake() {
  const char c = 1;
  if (wake_[1] >= 0) (void)!write(wake_[1], &c, 1);
}

void UnitServer::FlushLocked() {
  if (master_ < 0) {
    unit_.ConsumeOutput(unit_.Output().size());  // nobody on the line
  } else {
    while (!unit_.Output().empty()) {
      const ssize_t w = write(master_, unit_.Output().data(), unit_.Output().size());
      if (w <= 0) break;
      unit_.ConsumeOutput(static_cast<size_t>(w));
    }
  }
  if (unit_.Output().empty()) flushed_.notify_all();
}

bool UnitServer::Advance(int64_t frames, int wait_ms) {
  {
    std::lock_guard lock(mu_);
    unit_.Advance(frames);
  }
  Wake();
  return WaitFlushed(wait_ms);
}

bool UnitServer::WaitFlushed(int wait_ms) {
  std::unique_lock lock(mu_);
  return flushed_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                           [&] { return unit_.Output().empty() || master_ < 0 || !started_; });
}

void UnitServer::Hangup(double seconds) {
  {
    std::lock_guard lock(mu_);
    CloseLine();
    unit_.ConsumeOutput(unit_.Output().size());
    reopenAt_ = unit_.Frame() + static_cast<int64_t>(seconds * kFramesPerSecond);
  }
  Wake();
}

nlohmann::json UnitServer::GroundTruth() {
  std::lock_guard lock(mu_);
  return unit_.GroundTruth();
}

void UnitServer::Run() {
  using SteadyClock = std::chrono::steady_clock;
  const auto t0 = SteadyClock::now();
  int64_t generated = 0;
  uint8_t buf[4096];
  while (!stop_) {
    int master, timeout;
    bool pending;
    {
      std::lock_guard lock(mu_);
      if (auto h = unit_.TakeHangup()) {
        CloseLine();
        unit_.ConsumeOutput(unit_.Output().size());
        reopenAt_ = unit_.Frame() + static_cast<int64_t>(*h * kFramesPerSecond);
      }
      if (master_ < 0 && reopenAt_ && unit_.Frame() >= *reopenAt_) {
        reopenAt_.reset();
        std::string err;
        if (!OpenLine(&err)) std::fprintf(stderr, "nelsim: cannot reopen the line: %s\n", err.c_str());
      }
      // Host bytes first, so that replies precede the packets of this turn.
      if (master_ >= 0) {
        for (;;) {
          const ssize_t r = read(master_, buf, sizeof buf);
          if (r <= 0) break;
          unit_.Receive(buf, static_cast<size_t>(r));
        }
      }
      if (opt_.clock == Clock::kRealTime) {
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - t0).count();
        const int64_t due = static_cast<int64_t>(elapsed * kFramesPerSecond * opt_.speed);
        const int64_t n = std::min(due - generated, kMaxFramesPerTurn);
        if (n > 0) {
          unit_.Advance(n);
          generated += n;
        }
        if (due - generated > 10 * kMaxFramesPerTurn) generated = due - kMaxFramesPerTurn;  // far behind: skip
      }
      FlushLocked();
      master = master_;
      pending = !unit_.Output().empty();
      timeout = opt_.clock == Clock::kRealTime || (master_ < 0 && reopenAt_) ? 1 : 50;
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}};
    poll(fds, master >= 0 ? 2 : 1, timeout);
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
  }
}

}  // namespace nel::sim
