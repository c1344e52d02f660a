#include "unit_check.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <nel/nel.h>
#include <nel/platform/port_names.h>
#include "host_loop.h"
#include "platform/serial_device.h"

namespace nelctl {

void CheckPort(int port) {
  if (nel::platform::PortName(port).empty())
    throw Failure("port " + std::to_string(port) + " is outside 1 to 149", kStatusNoUnit);
  // The platform device tells why a port cannot be opened.
  nel::platform::SerialDevice device;
  if (!device.Open(nel::platform::PortDevicePath(port))) {
    const int err = device.LastError();
    const std::string where = DescribePort(port);
    if (err == EBUSY) throw Failure("port " + where + " is busy", kStatusBusy);
    throw Failure("cannot open port " + where + ": " + std::strerror(err), kStatusNoUnit);
  }
}

UnitVersion ReadUnitVersion(int port) {
  CheckPort(port);
  const std::string where = DescribePort(port);
  QXProtocol protocol;
  if (protocol.OpenPort(nel::platform::PortName(port), 230400, 8, 1, 'N') < 0)
    throw Failure("port " + where + " is busy", kStatusBusy);
  unsigned char a = 0, b = 0, c = 0;
  const bool ok = protocol.GetVersionDirector(a, b, c);
  protocol.ClosePort();
  if (!ok) throw Failure("no unit answers on port " + where, kStatusNoUnit);
  return {a, b, c};
}

int FindPort(int port, const std::string& hint) {
  if (port > 0) return port;
  TnelHardCtl ctl;
  const int found = ctl.CheckQX7700BComPortNo(0x80);
  if (found < 0)
    throw Failure("no unit answers on ports 1 to 149" + (hint.empty() ? "" : " (" + hint + ")"), kStatusNoUnit);
  return found;
}

CLI::Option* AddPortOption(CLI::App* cmd, int& port) {
  CLI::Option* option =
      cmd->add_option("--port", port, "Port number of the unit, 1 to 149 (default: search)")->check(CLI::Range(1, 149));
  if (CLI::Option* simulate = cmd->get_option_no_throw("--simulate")) option->excludes(simulate);
  return option;
}

}  // namespace nelctl
