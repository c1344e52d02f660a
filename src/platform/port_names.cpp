#include <nel/platform/port_names.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/paths.h"

namespace nel::platform {

namespace {

std::mutex g_mutex;
std::map<int, std::string> g_overrides;

bool InRange(int n) { return n >= kFirstPortNumber && n <= kLastPortNumber; }

}  // namespace

std::string PortName(int number) {
  if (!InRange(number)) return {};
  return (number >= 10 ? "\\\\.\\COM" : "COM") + std::to_string(number);
}

int PortNumberFromName(std::string_view name) {
  if (name.substr(0, 4) == "\\\\.\\") name.remove_prefix(4);
  if (name.size() < 4) return 0;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  name.remove_prefix(3);
  if (name.size() > 3 || name.front() == '0') return 0;
  int n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return InRange(n) ? n : 0;
}

std::string PortDevicePath(int number) {
  if (!InRange(number)) return {};
  {
    std::lock_guard lock(g_mutex);
    auto it = g_overrides.find(number);
    if (it != g_overrides.end()) return it->second;
  }
  const std::string com = "COM" + std::to_string(number);
  if (const char* v = std::getenv(("NEL_" + com).c_str()); v && *v) return v;
  if (const char* dir = std::getenv("NEL_PORT_DIR"); dir && *dir) return JoinPath(dir, com);
#if defined(_WIN32)
  // The device namespace form opens every port, COM10 and above included.
  return "\\\\.\\" + com;
#endif
  if (number <= 16) return "/dev/ttyUSB" + std::to_string(number - 1);
  if (number <= 32) return "/dev/ttyACM" + std::to_string(number - 17);
  return "/dev/ttyS" + std::to_string(number - 33);
}

bool SetPortPath(int number, std::string_view devicePath) {
  if (!InRange(number)) return false;
  std::lock_guard lock(g_mutex);
  if (devicePath.empty())
    g_overrides.erase(number);
  else
    g_overrides[number] = std::string(devicePath);
  return true;
}

}  // namespace nel::platform
