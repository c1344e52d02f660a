// The local wall-clock time of day (the host's time zone).
#pragma once

namespace nel::platform {

struct TimeOfDay {
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..60
};

// Now, in local time; all zero when the clock cannot be read.
TimeOfDay LocalTimeOfDay();

}  // namespace nel::platform
