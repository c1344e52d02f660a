// Events as manual-reset event objects.
#include <nel/platform/event.h>

#include <windows.h>

#include <cstdint>

namespace nel::platform {

Event::Event(bool signalled) : handle_(::CreateEventW(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr)) {
  // Without a handle the event is invalid: see docs/decisions.md, "No exception leaves the façade".
  if (handle_ != nullptr && signalled) signalled_ = true;
}

Event::~Event() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
}

int Event::Descriptor() const {
  return handle_ != nullptr ? static_cast<int>(reinterpret_cast<intptr_t>(handle_)) : -1;
}

void Event::Set() {
  if (handle_ == nullptr || signalled_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mutex_);
  if (signalled_) return;
  signalled_ = true;
  ::SetEvent(handle_);
}

void Event::Reset() {
  if (handle_ == nullptr) return;
  std::lock_guard lock(mutex_);
  signalled_ = false;
  ::ResetEvent(handle_);
}

int Event::WaitAny(Event* const* events, size_t count, int timeout_ms) {
  if (events == nullptr || count == 0 || count > 64) return kWaitFailed;
  // WaitForMultipleObjects refuses a handle listed twice: each handle once,
  // reported as its first index (the lowest, as with the waits elsewhere).
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  size_t firstIndex[MAXIMUM_WAIT_OBJECTS];
  DWORD n = 0;
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->handle_ == nullptr) return kWaitFailed;
    bool listed = false;
    for (DWORD j = 0; j < n && !listed; ++j) listed = handles[j] == events[i]->handle_;
    if (listed) continue;
    handles[n] = events[i]->handle_;
    firstIndex[n] = i;
    ++n;
  }
  // The lowest signalled handle is reported; the handles are in index order.
  const DWORD r =
      ::WaitForMultipleObjects(n, handles, FALSE, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (r < WAIT_OBJECT_0 + n) return static_cast<int>(firstIndex[r - WAIT_OBJECT_0]);
  if (r == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

}  // namespace nel::platform
