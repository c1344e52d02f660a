// The line of a unit served in this process: a pseudo-terminal in raw mode
// whose terminal side is put behind a port number (and, when asked, linked
// as <link_dir>/COM<port> for a host in another process).
#pragma once

#include <string>

namespace nel::sim {

struct PtyLine {
  int master = -1;  // non-blocking
  int slave = -1;   // kept open, so the line stays up before any host comes
  std::string device;
};

// Opens the line and registers it; false with the reason (nothing left open).
bool OpenPtyLine(int port, const std::string& linkDir, PtyLine& line, std::string* error);
// Closes both sides (the port entry and the link stay).
void ClosePtyLine(PtyLine& line);
// Removes the port entry and the link.
void UnregisterPtyLine(int port, const std::string& linkDir);

}  // namespace nel::sim
