// Joins byte strings. Reaches the link classes' test seams (protected) as a subclass does: a
// pointer to a member named through the subclass applies to any object.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include <nel/link/sam_thread.h>
#include <nel/link/serial_port.h>

namespace nel::test {

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct PortSeams : TSerialPort {
  static void Hook(TSerialPort& p, StoreHook hook, void* context) { (p.*&PortSeams::SetStoreHook)(hook, context); }
  static void TotalsAt(TSerialPort& p, int64_t total) { (p.*&PortSeams::StartTotalsAt)(total); }
};

struct SamSeams : TSamThread {
  static void FrameCountAt(TSamThread& s, int64_t frames) { (s.*&SamSeams::StartFrameCountAt)(frames); }
};

}  // namespace nel::test
