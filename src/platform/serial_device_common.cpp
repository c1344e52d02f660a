// What every system's serial device shares: the text form of a line's
// settings, and reading a whole count on top of Read.
#include <cctype>
#include <cstdio>

#include "platform/serial_device.h"
#include "platform/wait_clock.h"

namespace nel::platform {

bool ParseLineText(const char* text, LineSettings& out) {
  if (text == nullptr) return false;
  LineSettings line;
  char parity = 0;
  int consumed = 0;
  if (std::sscanf(text, "baud=%d parity=%c data=%d stop=%d%n", &line.baud, &parity, &line.dataBits, &line.stopBits,
                  &consumed) != 4)
    return false;
  if (text[consumed] != '\0') return false;
  line.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity)));
  out = line;
  return true;
}

long SerialDevice::ReadAll(void* buffer, size_t size, int timeoutMs) {
  if (!IsOpen() || buffer == nullptr) return -1;
  Deadline deadline(timeoutMs);
  size_t done = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (done < size) {
    const long r = Read(bytes + done, size - done, deadline.RemainingMs());
    if (r < 0) return done > 0 ? static_cast<long>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<long>(done);
}

}  // namespace nel::platform
