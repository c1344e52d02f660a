// The unit's side of the protocol: a transcript of host bytes and injected
// faults in; decoded replies and packets, the lines' state and the unit's
// counts of the host's commands out (tests/sim/golden).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "../common/golden.h"
#include "line_decoder.h"
#include "sim/device_codec.h"
#include "sim/virtual_unit.h"

namespace {

using nel::sim::FaultEvent;
using nel::sim::SubjectConfig;
using nel::sim::VirtualUnit;
using simtest::LineDecoder;
using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& b) {
  std::string s;
  char t[4];
  for (uint8_t x : b) s += (std::snprintf(t, sizeof t, " %02x", x), t);
  return s;
}

Bytes Cat(Bytes a, const Bytes& b, const Bytes& c) {
  a.insert(a.end(), b.begin(), b.end());
  a.insert(a.end(), c.begin(), c.end());
  return a;
}

// Everything the unit sent, decoded and taken, and the state it is in.
std::string Took(VirtualUnit& u) {
  LineDecoder d;
  d.Feed(u.Output());
  std::string s;
  for (const auto& r : d.replies) s += "  reply" + Hex({r.code}) + Hex(r.payload) + "\n";
  char t[200];
  if (!d.packets.empty()) {
    const auto& p = d.packets.front();
    std::snprintf(t, sizeof t, "  bytes %zu packets %zu abandoned %d first %d %d %d %d ecg %d pcg %d\n",
                  u.Output().size(), d.packets.size(), d.abandoned, p.t[0], p.t[1], p.t[2], p.t[3], p.ecg, p.pcg);
    s += t;
  }
  u.ConsumeOutput(u.Output().size());
  s += "  lines";
  for (int l = 0; l < 4; ++l)
    s.append(" ").append(std::to_string(u.Line(l).Level())).append(u.Line(l).ValveOpen() ? "/open" : "/closed");
  const nel::sim::UnitStats& k = u.Stats();
  s += u.Sampling() ? " sampling\n  counts" : " idle\n  counts";
  for (const int64_t v : {k.commands, k.commands_ignored, k.pump_commands, k.pump_on_commands, k.last_pump_on_frame,
                          k.all_off_commands, k.pump_on_since_all_off, k.last_command_frame})
    s.append(" ").append(std::to_string(v));
  return s + "\n";
}

TEST(SimProtocol, TranscriptMatchesTheGoldenRecords) {
  SubjectConfig cfg;
  cfg.version = {3, 0x7F, 9};
  cfg.stored_coeff = {{{0.0003f, -10.0f}, {0.00031f, -11.0f}, {0.00032f, -12.0f}, {0.00033f, -13.0f}, {}, {}}};
  VirtualUnit u(cfg);
  tagAD_FORCE_CONVERT set[6] = {{0.0003f, -20.5f}, {0.00031f, -9.25f}, {-0.0002f, std::nanf("")},
                                {0.00029f, -6.0f}, {0.00028f, 3.0f},   {0.00027f, -1.0f}};
  const auto block = nel::sim::EncodeCoeffBlock(set);
  struct Step {
    const char* what;
    Bytes bytes;
    int advance;                                     // frames after the bytes
    std::optional<FaultEvent> fault = std::nullopt;  // started before the bytes
  };
  const Step steps[] = {
      {"probe, version, stop, factor", {0x80, 0x81, 0x83, 0x85}, 0},
      {"pump line 2 at 0x1000, valve line 2 closed", {0x86, 0x10, 0x00, 0x02, 0x00, 0x87, 0x06}, 10},
      {"begin sample, 10 frames", {0x82}, 10},
      {"pump cut by a probe", {0x86, 0x10, 0x80}, 0},
      {"stray payload and unknown codes", {0x05, 0x7F, 0x9A, 0xFF}, 0},
      {"valve frame split over two writes: first byte", {0x87}, 0},
      {"valve frame split over two writes: all closed", {0x0C}, 0},
      {"level 0x80FF on line 1 (clamped)", {0x86, 0x00, 0x7F, 0x31, 0x00}, 0},
      {"level 0x00B4 on all lines", {0x86, 0x00, 0x34, 0x24, 0x00}, 0},
      {"all lines off, 5 frames", {0x86, 0x00, 0x00, 0x04, 0x00}, 5},
      {"level 0x80 on line 0 (the flag bit only)", {0x86, 0x00, 0x00, 0x20, 0x00}, 0},
      {"level 6000 on line 3, all closed, line 1 open", {0x86, 0x17, 0x70, 0x03, 0x00, 0x87, 0x0C, 0x87, 0x01}, 0},
      {"line code 5: no such line", {0x86, 0x19, 0x64, 0x05, 0x00}, 0},
      {"unanswered 0.1 s: probe, every valve open, 100 frames",
       {0x80, 0x87, 0x08},
       100,
       FaultEvent{FaultEvent::kUnanswered, 0, 0.1, 0, 0}},
      {"the same after it", {0x80, 0x87, 0x08}, 0},
      {"silent 50 ms: probe, 60 frames", {0x80}, 60, FaultEvent{FaultEvent::kSilence, 0, 0.05, 0, 0}},
      {"1 % of the bytes corrupt for 2 s, 2000 frames", {}, 2000, FaultEvent{FaultEvent::kCorrupt, 0, 2, 0.01, 0}},
      {"100 frames after it", {}, 100},
      {"2 % of the bytes dropped for 2 s, 2000 frames", {}, 2000, FaultEvent{FaultEvent::kDrop, 0, 2, 0.02, 0}},
      {"100 frames after it", {}, 100},
      {"300 garbage bytes, 1 frame", {}, 1, FaultEvent{FaultEvent::kGarbage, 0, 0, 0, 300}},
      {"stop sample, 10 frames", {0x83}, 10},
      {"set factor, get factor, begin sample, 1 frame", Cat({0x84}, Bytes(block.begin(), block.end()), {0x85, 0x82}),
       1},
      {"set factor of zeros, get factor, stop sample", Cat({0x84}, Bytes(62, 0), {0x85, 0x83}), 0},
  };
  std::string text;
  for (const Step& s : steps) {
    if (s.fault) u.StartFault(*s.fault);
    u.Receive(s.bytes.data(), s.bytes.size());
    u.Advance(s.advance);
    text += std::string("step ") + s.what + "\n" + Took(u);
  }
  // The packet layout at the extremes of each field; beyond 24 bits clamped.
  for (const int32_t big : {-8388608, 9000000}) {
    const nel::sim::RawFrame f{{big, 0x7FFFFF, big < 0 ? 0x00FF80 : -4500000, -1}, 0xABC, 0x5F8};
    const auto p = nel::sim::EncodeDataRaw(f);
    text += "packet" + Hex(Bytes(p.begin(), p.end())) + "\n";
  }
  nel::golden::Check(
      "sim/golden/transcript.txt", text,
      "The virtual unit (version 3.127.9) fed host bytes step by step (tests/sim/protocol_test.cpp);\n"
      "its memory holding {3e-4,-10} {3.1e-4,-11} {3.2e-4,-12} {3.3e-4,-13} and two empty sets; a fault\n"
      "may start before a step's bytes. After each step: the replies (code, payload), the bytes sent,\n"
      "the packets (count, frames cut by a code byte, the first packet's four transducers, ECG, PCG),\n"
      "each line's pump level and valve, and the unit's counts: commands, of those ignored, pump\n"
      "commands, of those with a level, frame of the last of those, all-lines-off commands, pumps\n"
      "started since the last, frame of the last command acted on.\n"
      "Set factor stores channel sets {3e-4,-20.5} {3.1e-4,-9.25} {-2e-4,NaN} {2.9e-4,-6}\n"
      "{2.8e-4,3} {2.7e-4,-1}. Then two encoded packets: transducers {-2^23, 0x7FFFFF, 0xFF80, -1}\n"
      "and {9000000, 0x7FFFFF, -4500000, -1}, ECG 0xABC, PCG 0x5F8.\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_sim_tests --gtest_filter=SimProtocol.*");
}

}  // namespace
