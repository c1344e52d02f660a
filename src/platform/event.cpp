#include <nel/platform/event.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/wait_clock.h"

namespace nel::platform {

Event::Event(bool signalled) : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Without a descriptor the event is invalid: see docs/decisions.md, "No exception leaves the façade".
  if (fd_ >= 0 && signalled) Set();
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  if (fd_ < 0 || signalled_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mutex_);
  if (signalled_) return;
  signalled_ = true;
  // The counter only has to be non-zero; it cannot realistically overflow.
  const uint64_t one = 1;
  ssize_t r;
  do {
    r = write(fd_, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

void Event::Reset() {
  if (fd_ < 0) return;
  std::lock_guard lock(mutex_);
  signalled_ = false;
  uint64_t value;
  ssize_t r;
  do {
    r = read(fd_, &value, sizeof value);
  } while (r < 0 && errno == EINTR);
}

int Event::WaitAny(Event* const* events, size_t count, int timeout_ms) {
  if (events == nullptr || count == 0 || count > 64) return kWaitFailed;
  pollfd fds[64];
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->fd_ < 0) return kWaitFailed;
    fds[i] = {events[i]->fd_, POLLIN, 0};
  }
  Deadline deadline(timeout_ms);
  for (;;) {
    const int r = poll(fds, count, deadline.RemainingMs());
    if (r > 0) {
      for (size_t i = 0; i < count; ++i)
        if (fds[i].revents & POLLIN) return static_cast<int>(i);
    } else if (r == 0) {
      if (deadline.Expired()) return kWaitTimeout;
    } else if (errno != EINTR) {
      return kWaitFailed;
    }
  }
}

}  // namespace nel::platform
