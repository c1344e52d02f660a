// The waits on one event, in terms of Event::WaitAny (each system's own).
#include <nel/platform/event.h>

namespace nel::platform {

bool Event::IsSet() const { return Wait(0); }

bool Event::Wait(int timeout_ms) const {
  Event* self = const_cast<Event*>(this);
  return WaitAny(&self, 1, timeout_ms) == 0;
}

}  // namespace nel::platform
