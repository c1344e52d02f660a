// Standard streams through poll() and isatty().
#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

namespace nel::platform {

InputByte TakeInputByte(char& c) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return InputByte::kNone;
  return read(STDIN_FILENO, &c, 1) == 1 ? InputByte::kByte : InputByte::kClosed;
}

bool StderrIsTerminal() { return ::isatty(2) != 0; }

}  // namespace nel::platform
