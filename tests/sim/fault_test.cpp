// Faults on request: corrupt, drop, silence, unanswered commands, garbage.
#include <gtest/gtest.h>

#include "line_decoder.h"
#include "sim/virtual_unit.h"

namespace {

using nel::sim::FaultEvent;
using nel::sim::SubjectConfig;
using nel::sim::VirtualUnit;
using simtest::LineDecoder;
using simtest::Stream;

TEST(SimFaults, CorruptAndDropCostPacketsAtTheirRate) {
  for (auto kind : {FaultEvent::kCorrupt, FaultEvent::kDrop}) {
    VirtualUnit u;
    u.StartFault({kind, 0, 2.0, 0.01, 0});
    const LineDecoder d = Stream(u, 2000);
    // About 1% of 38000 bytes hit: a few hundred packets lost or damaged.
    EXPECT_LT(d.packets.size(), 1950u);
    EXPECT_GT(d.packets.size(), 1400u);
    // After the fault window the stream is clean again.
    const LineDecoder after = Stream(u, 1000);
    EXPECT_EQ(after.packets.size(), 1000u);
    EXPECT_EQ(after.abandoned, 0);
  }
}

TEST(SimFaults, SilenceSendsNothingThenResumes) {
  VirtualUnit u;
  u.StartFault({FaultEvent::kSilence, 0, 0.5, 0, 0});
  const uint8_t probe = 0x80;
  u.Receive(&probe, 1);
  LineDecoder d = Stream(u, 500);
  EXPECT_TRUE(d.packets.empty());
  EXPECT_TRUE(d.replies.empty());
  EXPECT_TRUE(u.Sampling()) << "commands still act while silent";
  d = Stream(u, 100);
  EXPECT_EQ(d.packets.size(), 100u);
}

TEST(SimFaults, UnansweredCommandsAreIgnored) {
  VirtualUnit u;
  u.StartFault({FaultEvent::kUnanswered, 0, 1.0, 0, 0});
  const uint8_t cmds[] = {0x80, 0x82, 0x87, 0x0C};
  u.Receive(cmds, sizeof cmds);
  u.Advance(100);
  EXPECT_TRUE(u.Output().empty());
  EXPECT_FALSE(u.Sampling());
  EXPECT_TRUE(u.Line(0).ValveOpen());
  EXPECT_EQ(u.Stats().commands_ignored, 3);
  u.Advance(900);
  u.Receive(cmds, sizeof cmds);
  LineDecoder d;
  d.Feed(u.Output());
  EXPECT_EQ(d.replies.size(), 3u);
  EXPECT_TRUE(u.Sampling());
}

TEST(SimFaults, GarbageBurstBetweenPacketsAndScheduledFaults) {
  SubjectConfig cfg;
  cfg.faults.push_back({FaultEvent::kGarbage, 0.5, 0, 0, 300});
  cfg.faults.push_back({FaultEvent::kSilence, 0.8, 0.1, 0, 0});
  VirtualUnit u(cfg);
  LineDecoder d = Stream(u, 500);
  EXPECT_EQ(d.packets.size(), 500u);
  u.Advance(1);  // frame 500: the garbage goes out before this frame's packet
  const std::vector<uint8_t> out = u.Output();
  EXPECT_EQ(out.size(), 300u + 19u);
  EXPECT_EQ(out[300], 0x90);
  u.ConsumeOutput(out.size());
  u.Advance(499);
  d = LineDecoder();
  d.Feed(u.Output());
  EXPECT_EQ(d.packets.size(), 399u) << "100 frames of silence from 0.8 s";
}

}  // namespace
