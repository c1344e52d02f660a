// The text form of a line's settings, the same for every system's serial device.
#include <cctype>
#include <cstdio>

#include "platform/serial_device.h"

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

}  // namespace nel::platform
