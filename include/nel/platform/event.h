// Manual-reset events: set, reset, wait on one or several with a time-out.
//
// An event stays signalled after Set until Reset, however many waiters wake.
// Set, Reset, IsSet and the waits may be called from any thread. On Linux an
// event is an eventfd, so a wait can also watch a file descriptor (the serial
// reader waits on its device and its stop event at once); on Windows it is a
// manual-reset event object.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include <nel/export.h>

namespace nel::platform {

inline constexpr int kWaitInfinite = -1;
inline constexpr int kWaitTimeout = -1;  // result of the waits when the time ran out
inline constexpr int kWaitFailed = -2;   // result of the waits on a bad argument

class NEL_API Event {
 public:
  // An event the process had no descriptor for is invalid (Valid false): Set
  // and Reset do nothing and every wait that includes it fails at once.
  explicit Event(bool signalled = false);
  ~Event();
#if defined(_WIN32)
  bool Valid() const { return handle_ != nullptr; }
#else
  bool Valid() const { return fd_ >= 0; }
#endif
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // Waits until the event is signalled; false on time-out. timeout_ms < 0 waits forever.
  bool Wait(int timeout_ms) const;

  // Waits until one of `count` events is signalled and returns the lowest such
  // index, kWaitTimeout when the time ran out, kWaitFailed for a null list, a
  // null or invalid entry or a count outside 1..64.
  static int WaitAny(Event* const* events, size_t count, int timeout_ms);

#if defined(_WIN32)
  // The event object's HANDLE, signalled while the event is.
  void* Handle() const { return handle_; }
  // The same handle as an int (Windows keeps handles within 32 bits); -1 when invalid.
  int Descriptor() const;
#else
  // The descriptor that becomes readable while the event is signalled.
  int Descriptor() const { return fd_; }
#endif

 private:
#if defined(_WIN32)
  void* handle_;
#else
  int fd_;
#endif
  // Set writes the descriptor only when the event was not signalled (a
  // frame's event is set once per frame): the flag and the descriptor change
  // together under the lock. A Set that finds the flag already raised returns
  // without the lock (it takes effect at that instant, before any later Reset).
  std::mutex mutex_;
  std::atomic<bool> signalled_ = false;
};

}  // namespace nel::platform
