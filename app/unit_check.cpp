#include "unit_check.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "commands.h"
#include "host_loop.h"
#include "nel/nel.h"
#include "platform/port_names.h"
#include "platform/serial_device.h"

namespace nelctl {

UnitVersion ReadUnitVersion(int port) {
  const std::string where = DescribePort(port);
  if (nel::platform::PortName(port).empty())
    throw Failure("port " + std::to_string(port) + " is outside 1 to 149", kStatusNoUnit);
  {
    // The platform device tells why a port cannot be opened.
    nel::platform::SerialDevice device;
    if (!device.Open(nel::platform::PortDevicePath(port))) {
      const int err = device.LastError();
      if (err == EBUSY) throw Failure("port " + where + " is busy", kStatusBusy);
      throw Failure("cannot open port " + where + ": " + std::strerror(err), kStatusNoUnit);
    }
  }
  QXProtocol protocol;
  if (protocol.OpenPort(nel::platform::PortName(port), 230400, 8, 1, 'N') < 0)
    throw Failure("port " + where + " is busy", kStatusBusy);
  unsigned char a = 0, b = 0, c = 0;
  const bool ok = protocol.GetVersionDirector(a, b, c);
  protocol.ClosePort();
  if (!ok) throw Failure("no unit answers on port " + where, kStatusNoUnit);
  return {a, b, c};
}

}  // namespace nelctl
