#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/wait_clock.h"

namespace nel::platform {

namespace {

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

}  // namespace

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::Open(const std::string& path) {
  Close();
  lastError_ = 0;
  if (path.empty()) {
    lastError_ = ENOENT;
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  auto fail = [&](int err) {
    lastError_ = err;
    ::close(fd);
    return false;
  };
  if (!::isatty(fd)) return fail(ENOTTY);
  // The advisory lock also stops a privileged opener and a second open from
  // this process; TIOCEXCL stops unprivileged openers that do not lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno);
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return fail(errno);
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(errno);
  fd_ = fd;
  return true;
}

void SerialDevice::Close() {
  if (fd_ < 0) return;
  ::ioctl(fd_, TIOCNXCL);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

bool SerialDevice::Configure(const LineSettings& line) {
  if (fd_ < 0) return false;
  const speed_t speed = SpeedOf(line.baud);
  if (speed == B0) return false;
  tcflag_t size;
  switch (line.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
  }
  if (line.stopBits != 1 && line.stopBits != 2) return false;
  const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(line.parity)));
  if (parity != 'N' && parity != 'E' && parity != 'O') return false;

  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
  tio.c_cflag |= size | CLOCAL | CREAD;
  if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
  if (parity != 'N') tio.c_cflag |= PARENB;
  if (parity == 'O') tio.c_cflag |= PARODD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
  return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
}

void SerialDevice::Purge() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

int SerialDevice::QueuedBytes() const {
  if (fd_ < 0) return -1;
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0) return -1;
  return n;
}

SerialDevice::WaitResult SerialDevice::WaitReadable(const Event* stop, int timeoutMs) const {
  if (fd_ < 0) return WaitResult::kError;
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop ? stop->Descriptor() : -1, POLLIN, 0}};
  const nfds_t count = stop ? 2 : 1;
  Deadline deadline(timeoutMs);
  for (;;) {
    const int r = ::poll(fds, count, deadline.RemainingMs());
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    if (r == 0) {
      if (deadline.Expired()) return WaitResult::kTimeout;
      continue;
    }
    if (count == 2 && (fds[1].revents & POLLIN)) return WaitResult::kStop;
    if (fds[0].revents & (POLLHUP | POLLERR)) return QueuedBytes() > 0 ? WaitResult::kData : WaitResult::kHangup;
    if (fds[0].revents & POLLIN) return WaitResult::kData;
    if (fds[0].revents & POLLNVAL) return WaitResult::kError;
  }
}

long SerialDevice::Read(void* buffer, size_t size, int timeoutMs) {
  if (fd_ < 0 || buffer == nullptr) return -1;
  if (size == 0) return 0;
  Deadline deadline(timeoutMs);
  for (;;) {
    const ssize_t r = ::read(fd_, buffer, size);
    if (r > 0) return static_cast<long>(r);
    if (r == 0) return -1;  // end of file: the other side is gone
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    switch (WaitReadable(nullptr, deadline.RemainingMs())) {
      case WaitResult::kData: break;
      case WaitResult::kTimeout: return 0;
      default: return -1;
    }
  }
}

long SerialDevice::Write(const void* buffer, size_t size, int timeoutMs) {
  if (fd_ < 0 || buffer == nullptr) return -1;
  Deadline deadline(timeoutMs);
  size_t done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < size) {
    const ssize_t r = ::write(fd_, bytes + done, size - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return done > 0 ? static_cast<long>(done) : -1;
    pollfd fd{fd_, POLLOUT, 0};
    const int p = ::poll(&fd, 1, deadline.RemainingMs());
    if (p < 0 && errno == EINTR) continue;
    if (p <= 0) {
      if (p == 0 && !deadline.Expired()) continue;
      break;
    }
    if (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) return done > 0 ? static_cast<long>(done) : -1;
  }
  return static_cast<long>(done);
}

}  // namespace nel::platform
