#include "session.h"

#include <nel/nel.h>

namespace nelctl {

nlohmann::json SessionUnits() {
  return {{"pressure", "mmHg"}, {"pwv", "cm/s"}, {"time", "ms"}, {"heartRate", "1/min"}, {"aix", "%"}, {"index", "1"}};
}

std::string LibraryVersionText() {
  const unsigned v = static_cast<unsigned>(GetBPVersion());
  return std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF);
}

}  // namespace nelctl
