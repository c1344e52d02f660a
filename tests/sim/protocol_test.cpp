// The unit's side of the protocol: replies, packets, coefficient memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "line_decoder.h"
#include "sim/device_codec.h"
#include "sim/virtual_unit.h"

namespace {

using nel::sim::SubjectConfig;
using nel::sim::VirtualUnit;
using simtest::LineDecoder;

std::vector<uint8_t> Take(VirtualUnit& u) {
  std::vector<uint8_t> v = u.Output();
  u.ConsumeOutput(v.size());
  return v;
}

void Send(VirtualUnit& u, std::initializer_list<uint8_t> bytes) {
  std::vector<uint8_t> v(bytes);
  u.Receive(v.data(), v.size());
}

TEST(SimProtocol, AnswersEveryCommandWithItsReply) {
  SubjectConfig cfg;
  cfg.version = {3, 0x7F, 9};
  VirtualUnit u(cfg);
  LineDecoder d;
  Send(u, {0x80, 0x81, 0x83, 0x85, 0x86, 0x10, 0x00, 0x02, 0x00, 0x87, 0x06});
  d.Feed(Take(u));
  ASSERT_EQ(d.replies.size(), 6u);
  EXPECT_EQ(d.replies[0].code, 0xF0);
  EXPECT_EQ(d.replies[1].code, 0xF1);
  EXPECT_EQ(d.replies[1].payload, (std::vector<uint8_t>{3, 0x7F, 9}));
  EXPECT_EQ(d.replies[2].code, 0xF3);
  EXPECT_EQ(d.replies[3].code, 0xF5);
  EXPECT_EQ(d.replies[3].payload, std::vector<uint8_t>(62, 0)) << "empty memory answers 62 zero bytes";
  EXPECT_EQ(d.replies[4].code, 0xF6);
  EXPECT_EQ(d.replies[5].code, 0xF7);
  // Pump line 2 at level 0x1000 = 4096, valve line 2 closed.
  EXPECT_EQ(u.Line(2).Level(), 4096);
  EXPECT_FALSE(u.Line(2).ValveOpen());
  EXPECT_TRUE(u.Line(0).ValveOpen());
  // Begin sample answers and starts the stream; nothing flows before it.
  u.Advance(10);
  EXPECT_TRUE(Take(u).empty());
  Send(u, {0x82});
  u.Advance(10);
  d = LineDecoder();
  d.Feed(Take(u));
  ASSERT_EQ(d.replies.size(), 1u);
  EXPECT_EQ(d.replies[0].code, 0xF2);
  EXPECT_EQ(d.packets.size(), 10u);
}

TEST(SimProtocol, PartialAndInterruptedCommands) {
  VirtualUnit u;
  // A pump frame cut by a code byte is dropped; the probe after it answers.
  Send(u, {0x86, 0x10, 0x80});
  // Payload bytes with no command open are ignored; unknown codes too.
  Send(u, {0x05, 0x7F, 0x9A, 0xFF});
  // A command split over two writes completes.
  Send(u, {0x87});
  Send(u, {0x0C});
  LineDecoder d;
  d.Feed(Take(u));
  ASSERT_EQ(d.replies.size(), 2u);
  EXPECT_EQ(d.replies[0].code, 0xF0);
  EXPECT_EQ(d.replies[1].code, 0xF7);
  for (int l = 0; l < 4; ++l) {
    EXPECT_FALSE(u.Line(l).ValveOpen()) << "0x0C closes every line";
    EXPECT_EQ(u.Line(l).Level(), 0);
  }
}

TEST(SimProtocol, PumpLevelFlagsAndAllLines) {
  VirtualUnit u;
  // Level 0x80FF: bit 15 via 0x10, bit 7 via 0x20; clamped to 9999 by the unit.
  Send(u, {0x86, 0x00, 0x7F, 0x01 | 0x20 | 0x10, 0x00});
  EXPECT_EQ(u.Line(1).Level(), 9999);
  // Level 0x00B4 = 180: bit 7 carried by 0x20, all lines (code 4).
  Send(u, {0x86, 0x00, 0x34, 0x04 | 0x20, 0x00});
  for (int l = 0; l < 4; ++l) EXPECT_EQ(u.Line(l).Level(), 180);
  // Level 6000 on line 3, then valve line 3 open, all closed, line 1 open.
  Send(u, {0x86, 0x17, 0x70, 0x03, 0x00, 0x87, 0x0C, 0x87, 0x01});
  EXPECT_EQ(u.Line(3).Level(), 6000);
  EXPECT_TRUE(u.Line(1).ValveOpen());
  EXPECT_FALSE(u.Line(0).ValveOpen());
  EXPECT_FALSE(u.Line(3).ValveOpen());
}

TEST(SimProtocol, PacketLayoutCarriesBit7AndSignExtension) {
  nel::sim::RawFrame f;
  f.transducer[0] = -8388608;  // 0x800000
  f.transducer[1] = 0x7FFFFF;
  f.transducer[2] = 0x00FF80;
  f.transducer[3] = -1;
  f.ecg = 0xABC;
  f.pcg = 0x5F8;
  const auto p = nel::sim::EncodeDataRaw(f);
  EXPECT_EQ(p[0], 0x90);
  for (size_t i = 1; i < p.size(); ++i) EXPECT_EQ(p[i] & 0x80, 0) << "payload byte " << i;
  // Carrier bits: byte 3 (0x80) -> bit 0 of carrier 0; bytes 10..11 of
  // transducer 2 (0xFF, 0x80) -> bits 1 and 2... read back through the test decoder.
  LineDecoder d;
  d.Feed(p.data(), p.size());
  ASSERT_EQ(d.packets.size(), 1u);
  EXPECT_EQ(d.packets[0].t[0], -8388608);
  EXPECT_EQ(d.packets[0].t[1], 0x7FFFFF);
  EXPECT_EQ(d.packets[0].t[2], 0x00FF80);
  EXPECT_EQ(d.packets[0].t[3], -1);
  EXPECT_EQ(d.packets[0].ecg, 0xABC);
  EXPECT_EQ(d.packets[0].pcg, 0x5F8);
  // Known carrier positions: PCG low byte 0xF8 is payload byte 17 -> carrier 2 bit 0.
  EXPECT_EQ(p[1 + 2], 0x01);
  EXPECT_EQ(p[1 + 17], 0x78);
  // Out-of-range transducer values are clamped, never wrapped.
  f.transducer[0] = 9000000;
  d.Feed(nel::sim::EncodeDataRaw(f).data(), 19);
  EXPECT_EQ(d.packets[1].t[0], 0x7FFFFF);
}

TEST(SimProtocol, CoefficientBlockRoundTripAndScaling) {
  tagAD_FORCE_CONVERT set[6] = {{0.0003f, -20.5f}, {0.00031f, -9.25f}, {-0.0002f, std::nanf("")},
                                {0.00029f, -6.0f}, {0.00028f, 3.0f},   {0.00027f, -1.0f}};
  const auto block = nel::sim::EncodeCoeffBlock(set);
  // Layout: carriers in 0..6 (bit 0 of byte 6 unused), zeros at 7..9 and 58..61.
  for (int i : {7, 8, 9, 58, 59, 60, 61}) EXPECT_EQ(block[static_cast<size_t>(i)], 0) << i;
  EXPECT_EQ(block[6] & 0x01, 0);
  for (uint8_t b : block) EXPECT_LT(b, 0x80);
  // Byte 10 is the low byte of channel 0's Slope with bit 7 moved to mask 0x40 of byte 0.
  uint8_t raw[4];
  std::memcpy(raw, &set[0].Slope, 4);
  EXPECT_EQ(block[10], raw[0] & 0x7F);
  EXPECT_EQ((block[0] & 0x40) != 0, (raw[0] & 0x80) != 0);
  std::memcpy(raw, &set[5].Offset, 4);  // data byte 47 -> carrier byte 6, mask 0x40 >> 5
  EXPECT_EQ((block[6] & 0x02) != 0, (raw[3] & 0x80) != 0);

  // Stored through "set factor", answered by "get factor" byte for byte.
  VirtualUnit u;
  std::vector<uint8_t> cmd{0x84};
  cmd.insert(cmd.end(), block.begin(), block.end());
  u.Receive(cmd.data(), cmd.size());
  Send(u, {0x85});
  LineDecoder d;
  d.Feed(Take(u));
  ASSERT_EQ(d.replies.size(), 2u);
  EXPECT_EQ(d.replies[0].code, 0xF4);
  ASSERT_EQ(d.replies[1].code, 0xF5);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), d.replies[1].payload.begin()));
  const auto back = nel::sim::DecodeCoeffBlock(d.replies[1].payload.data());
  ASSERT_TRUE(back.has_value());
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(std::memcmp(&(*back)[c], &set[c], sizeof set[c]), 0) << "channel " << c;
  }
  // The transducers keep the scale the unit was built with (here the built-in
  // set): a stored set, usable or not, changes the memory only.
  const float active = u.ActiveCoefficients()[0].Slope, builtin = nel::kBuiltInCoeff[0].Slope;
  EXPECT_EQ(active, builtin);
  set[2] = {0.00029f, -4.0f};
  const auto good = nel::sim::EncodeCoeffBlock(set);
  cmd.assign(1, 0x84);
  cmd.insert(cmd.end(), good.begin(), good.end());
  u.Receive(cmd.data(), cmd.size());
  const float activeOffset = u.ActiveCoefficients()[2].Offset;
  EXPECT_EQ(activeOffset, nel::kBuiltInCoeff[2].Offset);
  Send(u, {0x82});
  u.Advance(200);
  d = LineDecoder();
  d.Feed(Take(u));
  ASSERT_EQ(d.packets.size(), 200u);
  for (int c = 0; c < 4; ++c) {
    const auto& k = nel::kBuiltInCoeff[c];
    EXPECT_NEAR(simtest::Mmhg(d.packets.back().t[c], k.Slope, k.Offset), 0.0, 0.1) << c;
  }
  // 62 zero bytes empty the memory again.
  cmd.assign(63, 0);
  cmd[0] = 0x84;
  u.Receive(cmd.data(), cmd.size());
  Send(u, {0x83, 0x85});
  d = LineDecoder();
  d.Feed(Take(u));
  ASSERT_FALSE(d.replies.empty());
  EXPECT_EQ(d.replies.back().payload, std::vector<uint8_t>(62, 0));
}

TEST(SimProtocol, ConfiguredSetIsAnsweredEncoded) {
  SubjectConfig cfg;
  std::array<tagAD_FORCE_CONVERT, 6> set{};
  for (int c = 0; c < 6; ++c) set[c] = {0.0003f + 0.00001f * c, -10.0f - c};
  cfg.stored_coeff = set;
  VirtualUnit u(cfg);
  Send(u, {0x85});
  LineDecoder d;
  d.Feed(Take(u));
  ASSERT_EQ(d.replies.size(), 1u);
  tagAD_FORCE_CONVERT raw[6];
  std::copy(set.begin(), set.end(), raw);
  const auto expect = nel::sim::EncodeCoeffBlock(raw);
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), d.replies[0].payload.begin()));
}

TEST(SimProtocol, StreamsOnePacketPerFrameWithRepliesBetweenPackets) {
  VirtualUnit u;
  Send(u, {0x82});
  std::vector<uint8_t> all;
  for (int i = 0; i < 300; ++i) {
    u.Advance(7);
    if (i % 5 == 0) Send(u, {0x80});
    if (i % 11 == 0) Send(u, {0x81});
    const auto v = Take(u);
    all.insert(all.end(), v.begin(), v.end());
  }
  LineDecoder d;
  d.Feed(all);
  EXPECT_EQ(d.packets.size(), 2100u);
  EXPECT_EQ(d.abandoned, 0) << "a reply never lands inside a packet";
  EXPECT_EQ(d.replies.size(), 1u + 60u + 28u);
  EXPECT_EQ(u.Frame(), 2100);
  // ECG and PCG are 12-bit around 2130; lines 2/3 carry ankle cuffs by default.
  for (const auto& p : d.packets) {
    EXPECT_GE(p.ecg, 0);
    EXPECT_LE(p.ecg, 4095);
    EXPECT_LE(p.pcg, 4095);
  }
}

}  // namespace
