// Hardware control: the port search, sampling start and stop with the unit's
// coefficient block, pumps and valves, over pseudo-terminal peers.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "../common/pty_peer.h"
#include "link/hard_ctl.h"
#include "platform/message_queue.h"
#include "platform/port_names.h"

namespace {

using nel::platform::MessageQueue;
using nel::test::Bytes;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;

// Every port points nowhere unless a test puts a peer behind it.
struct PortsCleared : ::testing::Test {
  void SetUp() override {
    for (int n = 1; n <= 149; ++n) nel::platform::SetPortPath(n, "/nonexistent/COM" + std::to_string(n));
  }
  void TearDown() override {
    for (int n = 1; n <= 149; ++n) nel::platform::SetPortPath(n, "");
  }
};

// A unit that answers the handshake.
void AnswerHandshake(uint8_t b, PtyPeer& unit) {
  if (b == 0x80) unit.Send({0xF0});
}

using PortSearch = PortsCleared;

TEST_F(PortSearch, FindsTheLowestAnsweringPortAndSkipsPortsInUse) {
  PtyPeer silent, busy, first(AnswerHandshake), second(AnswerHandshake);
  nel::platform::SetPortPath(2, silent.Path());
  nel::platform::SetPortPath(4, busy.Path());
  nel::platform::SetPortPath(9, first.Path());
  nel::platform::SetPortPath(12, second.Path());
  busy.SetResponder(AnswerHandshake);

  TnelHardCtl other(1);
  ASSERT_TRUE(other.SetComPortNo(4));  // in use by another object of this process

  TnelHardCtl ctl;
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 9);
  EXPECT_EQ(silent.Received(), Bytes{0x80}) << "the silent port was probed and skipped";
  EXPECT_TRUE(busy.Received().empty());

  ASSERT_TRUE(ctl.SetComPortNo(9));
  silent.SetResponder(nullptr);
  nel::platform::SetPortPath(2, "/nonexistent");
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 12) << "its own open port is skipped too";
  ctl.CloseCom();
  other.CloseCom();
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 4);
}

TEST_F(PortSearch, NoAnswerGivesMinusOneAndPort149IsTheLastTried) {
  PtyPeer last(AnswerHandshake);
  TnelHardCtl ctl;
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), -1);
  nel::platform::SetPortPath(149, last.Path());
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 149);
  // A unit answers only its handshake code: another probe byte finds nothing.
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x81), -1);
}

TEST_F(PortSearch, SetComPortNoRefusesPortZeroAndMissingPortsAndReopens) {
  PtyPeer a, b;
  nel::platform::SetPortPath(10, a.Path());
  nel::platform::SetPortPath(3, b.Path());
  TnelHardCtl ctl;
  EXPECT_FALSE(ctl.SetComPortNo(0));
  EXPECT_FALSE(ctl.SetComPortNo(150));
  EXPECT_FALSE(ctl.SetComPortNo(5));
  ASSERT_TRUE(ctl.SetComPortNo(10));
  EXPECT_TRUE(ctl.SetComPortNo(10)) << "second open of the same port keeps the running reader";
  ctl.CloseCom();
  ASSERT_TRUE(ctl.SetComPortNo(3));
  ctl.CloseCom();
  ASSERT_TRUE(ctl.SetComPortNo(10));
}

TEST(CoeffBlock, EncodesCarriersAndLittleEndianValuesAndDecodesBack) {
  tagAD_FORCE_CONVERT set[6];
  const float values[12] = {0.000296515907f, -18.1120796f, 1.0f, -2.0f, 3.5e-4f, 0.0f,
                            -1e-3f, 123.0f, 0.5f, -0.5f, 7.0f, -7.0f};
  for (int c = 0; c < 6; ++c) set[c] = {values[2 * c], values[2 * c + 1]};
  unsigned char payload[62];
  TnelHardCtl::hard_CovertCoeff(set, payload, true);
  const Bytes expected = nel::test::CoeffPayload(values);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), payload));
  // Hand-checked corner: 1.0f is 00 00 80 3F; its byte 2 (data byte 10) has
  // bit 7 set, carried by bit 6 - 3 of payload byte 1.
  EXPECT_EQ(payload[10 + 10], 0x00);
  EXPECT_EQ(payload[1] & 0x08, 0x08);
  EXPECT_EQ(payload[10 + 11], 0x3F);
  EXPECT_EQ(payload[6] & 0x01, 0);
  for (int i : {7, 8, 9, 58, 59, 60, 61}) EXPECT_EQ(payload[i], 0);

  tagAD_FORCE_CONVERT back[6] = {};
  TnelHardCtl::hard_CovertCoeff(back, payload, false);
  EXPECT_EQ(0, std::memcmp(set, back, sizeof set));

  unsigned char zero[62] = {};
  tagAD_FORCE_CONVERT kept[6] = {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}, {11, 12}};
  TnelHardCtl::hard_CovertCoeff(kept, zero, false);
  EXPECT_EQ(kept[5].Offset, 12.0f) << "an all-zero block leaves the set unchanged";
}

// A host with a unit on port 7 that streams nothing but answers commands.
struct HardCtlLink : PortsCleared {
  PtyPeer unit;
  Bytes factorPayload = Bytes(62, 0);
  std::unique_ptr<TnelHardCtl> ctl;
  int timer = 0;
  void SetUp() override {
    PortsCleared::SetUp();
    nel::platform::SetPortPath(7, unit.Path());
    unit.SetResponder([this](uint8_t b, PtyPeer& u) {
      if (b == 0x85) {
        Bytes reply{0xF5};
        reply.insert(reply.end(), factorPayload.begin(), factorPayload.end());
        u.Send(reply);
      } else if (b == 0x82 || b == 0x84) {
        u.Send({static_cast<uint8_t>(b + 0x70)});
      }
    });
    ctl = std::make_unique<TnelHardCtl>(0);
    ASSERT_TRUE(ctl->SetComPortNo(7));
    timer = MessageQueue::Current().SetTimer(2, [this] {
      tagSAM_DATA frames[32];
      ctl->ReadOnceData(frames);
    });
  }
  void TearDown() override {
    MessageQueue::Current().KillTimer(timer);
    ctl.reset();
    PortsCleared::TearDown();
  }
  // Bytes the unit received after the last clear, once they stop coming.
  Bytes Settled(size_t atLeast) {
    unit.WaitReceived(atLeast, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return unit.Received();
  }
};

TEST_F(HardCtlLink, MemberSetIsTheBuiltInSetBeforeTheFirstRead) {
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(ctl->ADForceCoeff[c].Slope, nel::kBuiltInCoeff[c].Slope);
    EXPECT_EQ(ctl->ADForceCoeff[c].Offset, nel::kBuiltInCoeff[c].Offset);
  }
  EXPECT_FALSE(ctl->GetSamThread()->GetSamplePaused());
  ctl->StartADSample(false);
  EXPECT_EQ(Settled(1), Bytes{0x82}) << "no coefficient read without asking";
  EXPECT_TRUE(ctl->GetSamThread()->GetSamplePaused()) << "starting sets the sampling object's paused flag";
  tagAD_FORCE_CONVERT sam[6];
  ctl->GetAD2ForceCoeff(sam);
  EXPECT_EQ(sam[0].Slope, nel::kInitialCoeff.Slope);
  EXPECT_TRUE(ctl->GetSamThread()->Protocol().IdleWatch());
  unit.ClearReceived();
  ctl->StopADSample();
  EXPECT_EQ(Settled(1), Bytes{0x83});
  EXPECT_FALSE(ctl->GetSamThread()->Protocol().IdleWatch());
}

TEST_F(HardCtlLink, StartWithReadingTakesTheUnitsSetAndCopiesAnkleToToe) {
  float values[12];
  for (int v = 0; v < 12; ++v) values[v] = (v % 2 == 0) ? 0.00025f + 0.00001f * static_cast<float>(v) : -5.0f - static_cast<float>(v);
  factorPayload = nel::test::CoeffPayload(values);
  ctl->StartADSample(true);
  EXPECT_EQ(Settled(2), (Bytes{0x85, 0x82})) << "nothing is written back";
  tagAD_FORCE_CONVERT sam[6];
  ctl->GetAD2ForceCoeff(sam);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(ctl->ADForceCoeff[c].Slope, values[2 * c]);
    EXPECT_EQ(ctl->ADForceCoeff[c].Offset, values[2 * c + 1]);
    EXPECT_EQ(sam[c].Slope, values[2 * c]);
  }
  for (int c = 4; c < 6; ++c) {
    EXPECT_EQ(ctl->ADForceCoeff[c].Slope, values[2 * (c - 2)]);
    EXPECT_EQ(ctl->ADForceCoeff[c].Offset, values[2 * (c - 2) + 1]);
    EXPECT_EQ(sam[c].Offset, values[2 * (c - 2) + 1]);
  }
}

TEST_F(HardCtlLink, AllZeroBlockKeepsTheBuiltInSetAndWritesNothing) {
  ctl->StartADSample(true);
  EXPECT_EQ(Settled(2), (Bytes{0x85, 0x82}));
  tagAD_FORCE_CONVERT sam[6];
  ctl->GetAD2ForceCoeff(sam);
  EXPECT_EQ(0, std::memcmp(sam, nel::kBuiltInCoeff, sizeof sam));
}

TEST_F(HardCtlLink, NonFiniteChannelTwoOffsetStoresTheBuiltInSetBack) {
  float values[12];
  for (int v = 0; v < 12; ++v) values[v] = 1.0f;
  values[5] = std::numeric_limits<float>::infinity();
  factorPayload = nel::test::CoeffPayload(values);
  ctl->StartADSample(true);
  Bytes expected{0x85, 0x84};
  float builtIn[12];
  for (int c = 0; c < 6; ++c) {
    builtIn[2 * c] = nel::kBuiltInCoeff[c].Slope;
    builtIn[2 * c + 1] = nel::kBuiltInCoeff[c].Offset;
  }
  const Bytes block = nel::test::CoeffPayload(builtIn);
  expected.insert(expected.end(), block.begin(), block.end());
  expected.push_back(0x82);
  EXPECT_EQ(Settled(expected.size()), expected);
  EXPECT_EQ(0, std::memcmp(ctl->ADForceCoeff, nel::kBuiltInCoeff, sizeof ctl->ADForceCoeff));
  tagAD_FORCE_CONVERT sam[6];
  ctl->GetAD2ForceCoeff(sam);
  EXPECT_EQ(0, std::memcmp(sam, nel::kBuiltInCoeff, sizeof sam));
}

TEST_F(HardCtlLink, HostCoefficientsReachTheSamplingObjectAndTheUnit) {
  tagAD_FORCE_CONVERT one = {0.5f, -1.0f};
  ctl->SetAD2ForceCoeff(one, BP_LANK);
  tagAD_FORCE_CONVERT sam[6];
  ctl->GetAD2ForceCoeff(sam);
  EXPECT_EQ(sam[3].Slope, 0.5f);
  float values[12];
  for (int c = 0; c < 6; ++c) {
    values[2 * c] = sam[c].Slope;
    values[2 * c + 1] = sam[c].Offset;
  }
  Bytes expected{0x84};
  const Bytes block = nel::test::CoeffPayload(values);
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(Settled(63), expected);
  EXPECT_EQ(ctl->ADForceCoeff[3].Slope, nel::kBuiltInCoeff[3].Slope) << "member set changes only on reading";
  unit.ClearReceived();
  ctl->SetAD2ForceCoeff(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(unit.Received().empty());
}

TEST_F(HardCtlLink, InflateAndDeflateSendValveAndPumpFramesInOrder) {
  struct Case {
    std::function<void()> call;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {[&] { ctl->StartInflate(0, 1, 0); }, {}},
      {[&] { ctl->StartInflate(10000, 1, 0); }, {}},
      {[&] { ctl->StartInflate(5000, 1, 10001); }, {}},
      {[&] { ctl->StartInflate(5000, 1, -1); }, {}},
      {[&] { ctl->StartInflate(9999, 1, 10000); }, {0x87, 0x05, 0x86, 0x27, 0x0F, 0x01, 0x00}},
      {[&] { ctl->StartInflate(6000, BP_RTOE, 50); }, {0x87, 0x06, 0x86, 0x17, 0x70, 0x02, 0x00}},
      {[&] { ctl->StartInflate(6000, BP_LTOE, 50); }, {0x87, 0x07, 0x86, 0x17, 0x70, 0x03, 0x00}},
      {[&] { ctl->StartInflate(6000, 6, 50); }, {}},
      {[&] { ctl->StopInflate(BP_LTOE); }, {0x86, 0x00, 0x00, 0x03, 0x00}},
      {[&] { ctl->StopInflate(-1); }, {0x86, 0x00, 0x00, 0x04, 0x00}},
      {[&] { ctl->RapidDeflate(0, true); }, {0x86, 0x00, 0x00, 0x00, 0x00, 0x87, 0x00}},
      {[&] { ctl->RapidDeflate(-1, false); }, {0x87, 0x0C}},
      {[&] { ctl->RapidDeflate(BP_RTOE, true); }, {0x86, 0x00, 0x00, 0x02, 0x00, 0x87, 0x02}},
      {[&] { ctl->RunAdjust(); ctl->OpenCloseHardwareEnlarge(true); ctl->OpenCloseHardwareEnlarge(false); }, {}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    unit.ClearReceived();
    cases[i].call();
    EXPECT_EQ(Settled(cases[i].bytes.size()), cases[i].bytes) << "case " << i;
  }
}

TEST_F(HardCtlLink, StartingSamplingRestartsTheMovingAverage) {
  MessageQueue::Current().KillTimer(timer);
  timer = 0;
  tagSAM_DATA out[32];
  const auto readAll = [&](int want) {
    int got = 0;
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (got < want && Clock::now() < end) got += ctl->ReadOnceData(out);
    return got;
  };
  const int32_t high[4] = {200000, 200000, 200000, 200000};
  Bytes burst;
  for (int i = 0; i < 10; ++i) {
    const Bytes f = nel::test::DataRawFrame(0, 0, high);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  unit.Send(burst);
  ASSERT_EQ(readAll(10), 10);
  EXPECT_GT(ctl->GetSamThread()->LastPressure(0), 40.0f);

  timer = MessageQueue::Current().SetTimer(2, [&] { ctl->ReadOnceData(out); });  // unpacks the reply
  ctl->StartADSample(false);
  MessageQueue::Current().KillTimer(timer);
  timer = 0;
  EXPECT_EQ(ctl->GetSamThread()->LastPressure(0), 0.0f);
  const int32_t low[4] = {100000, 100000, 100000, 100000};
  unit.Send(nel::test::DataRawFrame(0, 0, low));
  ASSERT_EQ(readAll(1), 1);
  const tagAD_FORCE_CONVERT c = nel::kInitialCoeff;
  EXPECT_EQ(out[0].Pressure[0], static_cast<float>(100000.0 * c.Slope + c.Offset))
      << "the first frame after the start is averaged alone";
}

TEST_F(HardCtlLink, StreamedFramesArriveThroughReadOnceDataAndStopAfterAHangUp) {
  MessageQueue::Current().KillTimer(timer);
  timer = 0;
  const int32_t t[4] = {1000, 2000, 3000, 4000};
  const Bytes frame = nel::test::DataRawFrame(2048, 2048, t);
  Bytes burst;
  for (int i = 0; i < 10; ++i) burst.insert(burst.end(), frame.begin(), frame.end());
  unit.Send(burst);
  tagSAM_DATA out[32];
  int got = 0;
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (got < 10 && Clock::now() < end) got += ctl->ReadOnceData(out);
  EXPECT_EQ(got, 10);
  unit.HangUp();
  const auto lostBy = Clock::now() + std::chrono::seconds(2);
  while (!ctl->GetSamThread()->Protocol().DeviceLost() && Clock::now() < lostBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(ctl->GetSamThread()->Protocol().DeviceLost());
  EXPECT_EQ(ctl->ReadOnceData(out), 0);
  ctl->CloseCom();
  PtyPeer replacement;
  nel::platform::SetPortPath(8, replacement.Path());
  EXPECT_TRUE(ctl->SetComPortNo(8));
  EXPECT_FALSE(ctl->GetSamThread()->Protocol().DeviceLost());
}

}  // namespace
