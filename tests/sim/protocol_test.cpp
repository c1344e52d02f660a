// The unit's side of the protocol: a transcript of host bytes in, decoded
// replies and packets and the lines' state out (tests/sim/golden), and the
// coefficient memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/golden.h"
#include "../common/pty_peer.h"
#include "line_decoder.h"
#include "sim/device_codec.h"
#include "sim/virtual_unit.h"

namespace {

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

// Everything the unit sent, decoded and taken.
std::string Took(VirtualUnit& u) {
  LineDecoder d;
  d.Feed(u.Output());
  u.ConsumeOutput(u.Output().size());
  std::string s;
  for (const auto& r : d.replies) s += "  reply" + Hex({r.code}) + Hex(r.payload) + "\n";
  char t[160];
  if (!d.packets.empty()) {
    const auto& p = d.packets.front();
    std::snprintf(t, sizeof t, "  packets %zu abandoned %d first %d %d %d %d ecg %d pcg %d\n", d.packets.size(),
                  d.abandoned, p.t[0], p.t[1], p.t[2], p.t[3], p.ecg, p.pcg);
    s += t;
  }
  return s;
}

std::string Lines(const VirtualUnit& u) {
  std::string s = "  lines";
  for (int l = 0; l < 4; ++l)
    s.append(" ").append(std::to_string(u.Line(l).Level())).append(u.Line(l).ValveOpen() ? "/open" : "/closed");
  return s + (u.Sampling() ? " sampling\n" : " idle\n");
}

TEST(SimProtocol, TranscriptMatchesTheGoldenRecords) {
  SubjectConfig cfg;
  cfg.version = {3, 0x7F, 9};
  VirtualUnit u(cfg);
  tagAD_FORCE_CONVERT set[6] = {{0.0003f, -20.5f}, {0.00031f, -9.25f}, {-0.0002f, std::nanf("")},
                                {0.00029f, -6.0f}, {0.00028f, 3.0f},   {0.00027f, -1.0f}};
  const auto block = nel::sim::EncodeCoeffBlock(set);
  struct Step {
    const char* what;
    Bytes bytes;
    int advance;  // frames after the bytes
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
      {"level 6000 on line 3, all closed, line 1 open", {0x86, 0x17, 0x70, 0x03, 0x00, 0x87, 0x0C, 0x87, 0x01}, 0},
      {"line code 5: no such line", {0x86, 0x19, 0x64, 0x05, 0x00}, 0},
      {"stop sample, 10 frames", {0x83}, 10},
      {"set factor, get factor", Cat({0x84}, Bytes(block.begin(), block.end()), {0x85}), 0},
      {"set factor of zeros, get factor", Cat({0x84}, Bytes(62, 0), {0x85}), 0},
  };
  std::string text;
  for (const Step& s : steps) {
    u.Receive(s.bytes.data(), s.bytes.size());
    u.Advance(s.advance);
    text += std::string("step ") + s.what + "\n" + Took(u) + Lines(u);
  }
  // The packet layout at the extremes of each field; beyond 24 bits clamped.
  for (const int32_t big : {-8388608, 9000000}) {
    nel::sim::RawFrame f;
    f.transducer[0] = big;
    f.transducer[1] = 0x7FFFFF;
    f.transducer[2] = 0x00FF80;
    f.transducer[3] = -1;
    f.ecg = 0xABC;
    f.pcg = 0x5F8;
    const auto p = nel::sim::EncodeDataRaw(f);
    text += "packet" + Hex(Bytes(p.begin(), p.end())) + "\n";
  }
  nel::golden::Check("sim/golden/transcript.txt", text,
                     "The virtual unit (version 3.127.9) fed host bytes step by step (tests/sim/protocol_test.cpp);\n"
                     "after each step: the replies (code, payload), the packets (count, frames cut by a code byte,\n"
                     "the first packet's four transducers, ECG and PCG) and each line's pump level and valve.\n"
                     "Set factor stores channel sets {3e-4,-20.5} {3.1e-4,-9.25} {-2e-4,NaN} {2.9e-4,-6}\n"
                     "{2.8e-4,3} {2.7e-4,-1}. Then two encoded packets: transducers {-2^23 | 9000000, 0x7FFFFF,\n"
                     "0xFF80, -1}, ECG 0xABC, PCG 0x5F8.\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_sim_tests --gtest_filter=SimProtocol.*");
}

// The unit's block matches the link's hand encoder. The set of the subject
// file is answered as stored and gives the transducers their scale; a set
// stored later changes the memory only.
TEST(SimProtocol, CoefficientMemoryAndTheTransducersScale) {
  float values[12];
  tagAD_FORCE_CONVERT set[6], later[6];
  for (int c = 0; c < 6; ++c) {
    set[c] = {0.0003f + 0.00001f * static_cast<float>(c), -10.0f - static_cast<float>(c)};
    values[2 * c] = set[c].Slope;
    values[2 * c + 1] = set[c].Offset;
    later[c] = nel::kBuiltInCoeff[c];
  }
  const auto block = nel::sim::EncodeCoeffBlock(set), laterBlock = nel::sim::EncodeCoeffBlock(later);
  EXPECT_EQ(Bytes(block.begin(), block.end()), nel::test::CoeffPayload(values));
  const auto back = nel::sim::DecodeCoeffBlock(block.data());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(std::memcmp(back->data(), set, sizeof set), 0);

  SubjectConfig cfg;
  cfg.stored_coeff = *back;
  VirtualUnit u(cfg);
  const Bytes commands = Cat({0x85, 0x84}, Bytes(laterBlock.begin(), laterBlock.end()), {0x85});
  u.Receive(commands.data(), commands.size());
  LineDecoder d = simtest::Stream(u, 200);
  ASSERT_EQ(d.replies.size(), 4u);
  EXPECT_EQ(d.replies[0].payload, Bytes(block.begin(), block.end()));
  EXPECT_EQ(d.replies[2].payload, Bytes(laterBlock.begin(), laterBlock.end()));
  ASSERT_EQ(d.packets.size(), 200u);
  for (int c = 0; c < 4; ++c)
    EXPECT_NEAR(simtest::Mmhg(d.packets.back().t[c], set[c].Slope, set[c].Offset), 0.0, 0.1) << c;
}

// Replies go out between packets, never inside one.
TEST(SimProtocol, StreamsOnePacketPerFrameWithRepliesBetweenPackets) {
  VirtualUnit u;
  const uint8_t begin = 0x82, probe = 0x80, version = 0x81;
  u.Receive(&begin, 1);
  LineDecoder d;
  for (int i = 0; i < 300; ++i) {
    u.Advance(7);
    if (i % 5 == 0) u.Receive(&probe, 1);
    if (i % 11 == 0) u.Receive(&version, 1);
    d.Feed(u.Output());
    u.ConsumeOutput(u.Output().size());
  }
  EXPECT_EQ(d.packets.size(), 2100u);
  EXPECT_EQ(d.abandoned, 0);
  EXPECT_EQ(d.replies.size(), 1u + 60u + 28u);
}

}  // namespace
