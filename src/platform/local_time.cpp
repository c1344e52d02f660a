#include "platform/local_time.h"

#include <ctime>

namespace nel::platform {

TimeOfDay LocalTimeOfDay() {
  TimeOfDay t;
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#if defined(_WIN32)
  if (now == static_cast<std::time_t>(-1) || ::localtime_s(&parts, &now) != 0) return t;
#else
  if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &parts) == nullptr) return t;
#endif
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

}  // namespace nel::platform
