#include "pty_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <nel/platform/port_names.h>

namespace nel::sim {

bool OpenPtyLine(int port, const std::string& linkDir, PtyLine& line, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    ClosePtyLine(line);
    return false;
  };
  line.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.master < 0) return fail("posix_openpt");
  fcntl(line.master, F_SETFD, FD_CLOEXEC);
  if (grantpt(line.master) != 0 || unlockpt(line.master) != 0) return fail("grantpt/unlockpt");
  char name[128];
  if (ptsname_r(line.master, name, sizeof name) != 0) return fail("ptsname_r");
  // The terminal side stays open, in raw mode before any host comes: see docs/decisions.md, "The server's line".
  line.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.slave < 0) return fail("open terminal side");
  termios t{};
  if (tcgetattr(line.slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B230400);
    cfsetospeed(&t, B230400);
    tcsetattr(line.slave, TCSANOW, &t);
  }
  line.device = name;
  nel::platform::SetPortPath(port, line.device);
  if (!linkDir.empty()) {
    std::error_code ec;
    const std::filesystem::path link = std::filesystem::path(linkDir) / ("COM" + std::to_string(port));
    std::filesystem::create_directories(linkDir, ec);
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(line.device, link, ec);
    if (ec) {
      if (error) *error = "cannot link " + link.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

void ClosePtyLine(PtyLine& line) {
  if (line.slave >= 0) close(line.slave);
  if (line.master >= 0) close(line.master);
  line.slave = line.master = -1;
}

void UnregisterPtyLine(int port, const std::string& linkDir) {
  nel::platform::SetPortPath(port, "");
  if (!linkDir.empty()) {
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(linkDir) / ("COM" + std::to_string(port)), ec);
  }
}

}  // namespace nel::sim
