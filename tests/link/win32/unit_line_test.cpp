// The link on a real serial line under Windows: the virtual unit, served on
// Linux, behind COM<NEL_TEST_UNIT_PORT> (virtual_unit_line.py sets it up
// under Wine). Port search, version, sampling, a command with its reply, and
// the unit unplugged. Skipped without a unit. The cases run in file order;
// the unplugging comes last.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nel/link/hard_ctl.h>
#include <nel/link/qx_protocol.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>

namespace {

using Clock = std::chrono::steady_clock;
using nel::platform::MessageQueue;

constexpr double kFramesPerSecond = 1000.0;  // the unit's rate at speed 1
constexpr int kStreamMs = 4000;
constexpr int kLostBoundMs = 3000;  // hang-up to DeviceLost, with Wine's serial layer in between

int UnitPort() {
  const char* p = std::getenv("NEL_TEST_UNIT_PORT");
  return p != nullptr ? std::atoi(p) : 0;
}

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Runs the thread's queue (and so the timers draining the unit) for `ms`, or
// until `done` holds.
template <typename Done>
bool RunQueue(int ms, Done done) {
  auto& queue = MessageQueue::Current();
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    nel::platform::Message m;
    while (queue.Peek(m, true)) queue.Dispatch(m);
    if (done()) return true;
    queue.WaitForEventsOrInput(nullptr, 0, 5);
  }
  return done();
}

// A host's processing passes: every 10 ms the frames that arrived are taken.
class Sampling {
 public:
  explicit Sampling(TnelHardCtl& ctl) : ctl_(ctl) {
    timer_ = MessageQueue::Current().SetTimer(10, [this] { Pass(); });
  }
  ~Sampling() { MessageQueue::Current().KillTimer(timer_); }
  Sampling(const Sampling&) = delete;
  Sampling& operator=(const Sampling&) = delete;

  void Pass() {
    tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
    const int n = ctl_.ReadOnceData(frames);
    const auto now = Clock::now();
    if (n > 0) {
      if (frames_ > 0) longestQuietMs_ = std::max(longestQuietMs_, MsSince(lastFrame_));
      if (frames_ == 0) first_ = now;
      lastFrame_ = now;
      frames_ += n;
    }
  }
  long long frames_ = 0;
  double longestQuietMs_ = 0;
  Clock::time_point first_{}, lastFrame_{};

 private:
  TnelHardCtl& ctl_;
  int timer_ = 0;
};

class UnitLine : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = UnitPort();
    if (port_ <= 0) GTEST_SKIP() << "NEL_TEST_UNIT_PORT is not set";
  }
  int port_ = 0;
};

TEST_F(UnitLine, PortSearchFindsTheUnit) {
  TnelHardCtl ctl;
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), port_) << nel::LastErrorText();
  EXPECT_EQ(ctl.ProbeComPort(port_, 0x80), port_);
  EXPECT_EQ(ctl.ProbeComPort(port_, 0x81), -1) << "the unit answers only its handshake code";
}

TEST_F(UnitLine, HandshakeAndVersion) {
  QXProtocol line;
  ASSERT_GE(line.OpenPort(nel::platform::PortName(port_), 230400, 8, 1, 'N'), 0);
  unsigned char a = 0, b = 0, c = 0, a2 = 0, b2 = 0, c2 = 0;
  EXPECT_TRUE(line.GetVersionDirector(a, b, c)) << nel::LastErrorText();
  EXPECT_NE(a | b | c, 0) << "no version in the reply";
  EXPECT_TRUE(line.GetVersionDirector(a2, b2, c2));
  EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({a2, b2, c2}));
  line.ClosePort();
}

// The unit's coefficient set comes back for the request sampling starts with;
// then frames come at the unit's rate, none dropped, without a pause.
TEST_F(UnitLine, SamplingStartsWithTheUnitsSetAndFramesKeepComing) {
  TnelHardCtl ctl;
  ASSERT_TRUE(ctl.SetComPortNo(port_)) << nel::LastErrorText();
  Sampling sampling(ctl);
  ASSERT_TRUE(ctl.StartADSample(true)) << nel::LastErrorText();
  // The reply came whole: the unit's set, or its word that it holds none.
  const nel::link::CoeffSource source = ctl.CoeffSource();
  EXPECT_TRUE(source == nel::link::CoeffSource::kUnit || source == nel::link::CoeffSource::kBuiltInNoneStored)
      << static_cast<int>(source);
  EXPECT_TRUE(TnelHardCtl::CoeffPlausible(ctl.ADForceCoeff));
  ASSERT_TRUE(RunQueue(3000, [&] { return sampling.frames_ > 0; })) << "no frame arrived";
  const long long before = sampling.frames_;
  const auto t0 = Clock::now();
  RunQueue(kStreamMs, [] { return false; });
  const double expected = kFramesPerSecond * MsSince(t0) / 1000.0;
  const double got = static_cast<double>(sampling.frames_ - before);
  EXPECT_GT(got, 0.9 * expected);
  EXPECT_LT(got, 1.1 * expected);
  EXPECT_EQ(ctl.GetSamThread()->Protocol().DroppedBytes(), 0);
  EXPECT_LT(sampling.longestQuietMs_, 250.0) << "the frames paused";
  EXPECT_FALSE(ctl.GetSamThread()->Protocol().DeviceLost());
  ctl.StopADSample();
  ctl.CloseCom();
}

// A coefficient set written to the unit while it streams is the set the next
// start of sampling reads back, bit for bit.
TEST_F(UnitLine, CoefficientSetWrittenIsReadBack) {
  tagAD_FORCE_CONVERT written[nel::kChannelCount];
  {
    TnelHardCtl ctl;
    ASSERT_TRUE(ctl.SetComPortNo(port_)) << nel::LastErrorText();
    Sampling sampling(ctl);
    ASSERT_TRUE(ctl.StartADSample(true)) << nel::LastErrorText();
    for (int c = 0; c < nel::kChannelCount; ++c) {
      written[c] = ctl.ADForceCoeff[c];
      written[c].Slope *= 1.0f + 0.01f * static_cast<float>(c + 1);
      written[c].Offset += 1.25f * static_cast<float>(c + 1);
    }
    ASSERT_TRUE(TnelHardCtl::CoeffPlausible(written));
    ctl.SetAD2ForceCoeff(written);
    RunQueue(500, [] { return false; });
    ctl.StopADSample();
    ctl.CloseCom();
  }
  TnelHardCtl ctl;
  ASSERT_TRUE(ctl.SetComPortNo(port_)) << nel::LastErrorText();
  Sampling sampling(ctl);
  ASSERT_TRUE(ctl.StartADSample(true)) << nel::LastErrorText();
  ASSERT_EQ(ctl.CoeffSource(), nel::link::CoeffSource::kUnit);
  for (int c = 0; c < nel::kTransducerCount; ++c) {  // the toe records follow the ankles'
    EXPECT_EQ(ctl.ADForceCoeff[c].Slope, written[c].Slope) << c;
    EXPECT_EQ(ctl.ADForceCoeff[c].Offset, written[c].Offset) << c;
  }
  ctl.StopADSample();
  ctl.CloseCom();
}

// Last: the unit goes away while it streams (the driver kills it when the
// file named in NEL_TEST_UNPLUG_FILE appears).
TEST_F(UnitLine, UnitUnpluggedIsReportedLost) {
  const char* unplug = std::getenv("NEL_TEST_UNPLUG_FILE");
  if (unplug == nullptr || *unplug == '\0') GTEST_SKIP() << "NEL_TEST_UNPLUG_FILE is not set";
  TnelHardCtl ctl;
  ASSERT_TRUE(ctl.SetComPortNo(port_)) << nel::LastErrorText();
  Sampling sampling(ctl);
  ASSERT_TRUE(ctl.StartADSample(true)) << nel::LastErrorText();
  ASSERT_TRUE(RunQueue(3000, [&] { return sampling.frames_ > 100; }));
  std::ofstream(unplug) << "unplug\n";
  const auto t0 = Clock::now();
  const QXProtocol& line = ctl.GetSamThread()->Protocol();
  EXPECT_TRUE(RunQueue(kLostBoundMs + 2000, [&] { return line.DeviceLost(); }));
  EXPECT_LT(MsSince(t0), kLostBoundMs) << "the loss was reported late";
  ctl.CloseCom();
}

}  // namespace
