// Arbitrary JSON as a subject file of the virtual unit: the reader accepts or
// refuses with a message, without a crash. An accepted subject runs: the unit
// is asked for its version and coefficient block, streams, inflates every
// line with its valve closed and lets go, about 1.2 s of its time. Its line
// pressures stay finite, a line at the firmware ceiling leaves no pump running
// and no valve closed, every frame of a stream yields one packet (sent or
// dropped), and unless a fault alters bytes on the line the output is whole
// frames: 0x90 with 18 data bytes, or a reply with its payload, the version
// reply carrying the configured bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/subject_config.h"
#include "sim/virtual_unit.h"

namespace {

using nel::sim::FaultEvent;
using nel::sim::VirtualUnit;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr int64_t kFrames = 1210;

// Payload bytes after a code byte, or -1 for a code the unit never sends.
int PayloadLength(uint8_t code) {
  if (code == nel::sim::kDataRaw) return nel::sim::kDataRawLength - 1;
  if (code == nel::sim::kReplyBase + 1) return 3;
  if (code == nel::sim::kReplyBase + 5) return nel::sim::kCoeffPayloadLength;
  if (code >= nel::sim::kReplyBase && code <= nel::sim::kReplyBase + 7) return 0;
  return -1;
}

// Checks the waiting output is whole frames (when `framed`) and removes it;
// returns the packets in it.
int64_t Drain(VirtualUnit& unit, bool framed) {
  const std::vector<uint8_t>& out = unit.Output();
  int64_t packets = 0;
  for (size_t at = 0; framed && at < out.size();) {
    const int n = PayloadLength(out[at]);
    Check(n >= 0 && at + 1 + static_cast<size_t>(n) <= out.size());
    for (int i = 1; i <= n; ++i) Check(out[at + i] < 0x80);
    if (out[at] == nel::sim::kDataRaw) ++packets;
    if (out[at] == nel::sim::kReplyBase + 1)
      for (int i = 0; i < 3; ++i) Check(out[at + 1 + i] == unit.Config().version[i]);
    at += 1 + static_cast<size_t>(n);
  }
  unit.ConsumeOutput(out.size());
  return packets;
}

void Send(VirtualUnit& unit, std::initializer_list<uint8_t> bytes) {
  const std::vector<uint8_t> v(bytes);
  unit.Receive(v.data(), v.size());
}

void Advance(VirtualUnit& unit, int64_t frames, bool framed) {
  const nel::sim::UnitStats before = unit.Stats();
  const bool sampling = unit.Sampling();
  unit.Advance(frames);
  const nel::sim::UnitStats& after = unit.Stats();
  if (sampling)
    Check(after.packets_sent + after.packets_dropped - before.packets_sent - before.packets_dropped == frames);
  const int64_t packets = Drain(unit, framed);
  if (framed) Check(packets == after.packets_sent - before.packets_sent);
  bool over = false;
  for (int l = 0; l < 4; ++l) {
    const double p = unit.LinePressure(l);
    Check(std::isfinite(p));
    const auto& t = unit.Config().transducer[l];
    over = over || p * (1.0 + t.gain_error) + t.offset_error_mmhg >= unit.Config().firmware.ceiling_mmhg;
  }
  if (over)
    for (int l = 0; l < 4; ++l) Check(!unit.Line(l).PumpRunning() && unit.Line(l).ValveOpen());
}

bool NoNaN(const nlohmann::json& j) {
  if (j.is_number_float()) return !std::isnan(j.get<double>());
  if (j.is_structured())
    for (const auto& x : j)
      if (!NoNaN(x)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As the subject file reader parses: comments allowed.
  const nlohmann::json j = nlohmann::json::parse(data, data + size, nullptr, false, true);
  if (j.is_discarded()) return 0;
  nel::sim::SubjectConfig cfg;
  std::string error;
  if (!nel::sim::SubjectFromJson(j, cfg, &error)) {
    Check(!error.empty());
    return 0;
  }
  // Faults that alter the bytes on the line during the run end the framing
  // check; garbage is queued in full, so a run with much of it is skipped to
  // keep runs short.
  bool framed = true;
  double garbage = 0;
  for (const FaultEvent& f : cfg.faults) {
    if (f.at_s * nel::sim::kFramesPerSecond > kFrames) continue;
    if ((f.kind == FaultEvent::kCorrupt || f.kind == FaultEvent::kDrop) && f.rate > 0 && f.duration_s > 0)
      framed = false;
    if (f.kind == FaultEvent::kGarbage) {
      framed = framed && f.bytes == 0;
      garbage += f.bytes;
    }
  }
  if (garbage > 100000) return 0;

  VirtualUnit unit(cfg);
  Send(unit, {nel::sim::kCmdShakeHand, nel::sim::kCmdGetVersion, nel::sim::kCmdGetFactor, nel::sim::kCmdBeginSample});
  Advance(unit, 300, framed);
  for (uint8_t line = 0; line < 4; ++line) {
    Send(unit, {nel::sim::kCmdGap, static_cast<uint8_t>(0x04 | line)});
    Send(unit, {nel::sim::kCmdPump, 9999 >> 8, 9999 & 0x7F, line, 0});
  }
  for (int i = 0; i < 6; ++i) Advance(unit, 100, framed);
  Send(unit, {nel::sim::kCmdPump, 0, 0, 4, 0});
  Send(unit, {nel::sim::kCmdGap, 0x08});
  Advance(unit, 300, framed);
  Send(unit, {nel::sim::kCmdStopSample});
  Advance(unit, 10, framed);
  Check(unit.Frame() == kFrames);
  Check(NoNaN(unit.GroundTruth()));
  return 0;
}
