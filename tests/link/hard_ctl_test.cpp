// Hardware control: the port search, sampling start and stop with the unit's
// coefficient block, pumps and valves, over pseudo-terminal peers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "platform/serial_device.h"

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

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// An earlier host had the port open: the terminal is left in raw mode (a
// fresh pseudo-terminal would echo and hold back input without a line end).
void EarlierHostOpened(const std::string& path) {
  nel::platform::SerialDevice device;
  ASSERT_TRUE(device.Open(path));
}

// A unit an earlier host left sampling: it streams frames from its own thread
// until it is told to stop, and answers the handshake (whole, between frames).
class StreamingUnit {
 public:
  StreamingUnit() {
    EarlierHostOpened(unit.Path());
    const int32_t t[4] = {0x045209, 0x7F0102, 0x031415, 0x161718};
    frame_ = nel::test::DataRawFrame(0x452, 0x309, t);
    unit.SetResponder([this](uint8_t b, PtyPeer& u) {
      if (b == 0x83) {
        streaming_ = false;
        u.Send({0xF3});
      } else if (b == 0x80) {
        u.Send({0xF0});
      }
    });
    thread_ = std::thread([this] {
      while (!quit_) {
        // Nobody reading: the line keeps a backlog, as a real one does.
        if (streaming_ && unit.Unread() < 3000) unit.Send(frame_);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
    // The line holds a backlog of the stream before anyone looks at it.
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (unit.Unread() < 2000 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~StreamingUnit() {
    unit.SetResponder(nullptr);
    quit_ = true;
    thread_.join();
  }
  PtyPeer unit;

 private:
  Bytes frame_;
  std::atomic<bool> streaming_{true};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// Bytes left on a line, waiting in its input queue when the search opens it.
void LeaveOnTheLine(PtyPeer& unit, const Bytes& bytes) {
  EarlierHostOpened(unit.Path());
  unit.Send(bytes);
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (unit.Unread() < static_cast<int>(bytes.size()) && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(unit.Unread(), static_cast<int>(bytes.size()));
}

using HardCtlPortSearch = PortsCleared;

TEST_F(HardCtlPortSearch, FindsTheLowestAnsweringPortAndSkipsPortsInUse) {
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
  EXPECT_EQ(silent.Received(), (Bytes{0x83, 0x80})) << "the silent port was probed and skipped";
  EXPECT_TRUE(busy.Received().empty());

  ASSERT_TRUE(ctl.SetComPortNo(9));
  silent.SetResponder(nullptr);
  nel::platform::SetPortPath(2, "/nonexistent");
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 12) << "its own open port is skipped too";
  ctl.CloseCom();
  other.CloseCom();
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 4);
}

TEST_F(HardCtlPortSearch, NoAnswerGivesMinusOneAndPort149IsTheLastTried) {
  PtyPeer last(AnswerHandshake);
  TnelHardCtl ctl;
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), -1);
  nel::platform::SetPortPath(149, last.Path());
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 149);
  // A unit answers only its handshake code: another probe byte finds nothing.
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x81), -1);
}

// Whatever an earlier host left on the line, the search finds the unit that
// answers and only that one.
TEST_F(HardCtlPortSearch, FindsTheUnitWhateverAnEarlierHostLeftOnTheLine) {
  const int32_t t[4] = {1, 2, 3, 4};
  Bytes staleStream;
  for (int i = 0; i < 5; ++i) {
    const Bytes f = nel::test::DataRawFrame(0x100, 0x200, t);
    staleStream.insert(staleStream.end(), f.begin(), f.end());
  }
  {
    SCOPED_TRACE("a unit still streaming (its host was killed mid-measurement)");
    StreamingUnit streaming;
    ASSERT_GE(streaming.unit.Unread(), 2000) << "a backlog of the stream waits on the line";
    nel::platform::SetPortPath(5, streaming.unit.Path());
    TnelHardCtl ctl;
    EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 5);
  }
  {
    SCOPED_TRACE("stale stream bytes on the line of an answering unit");
    PtyPeer unit(AnswerHandshake);
    nel::platform::SetPortPath(5, unit.Path());
    LeaveOnTheLine(unit, staleStream);
    TnelHardCtl ctl;
    EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 5);
  }
  {
    SCOPED_TRACE("a stale handshake reply on the line of a silent device");
    PtyPeer silent;
    nel::platform::SetPortPath(5, silent.Path());
    LeaveOnTheLine(silent, {0x90, 0x01, 0xF0});
    TnelHardCtl ctl;
    nel::ClearLastError();
    EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), -1);
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNoUnit);
    EXPECT_EQ(silent.Received(), (Bytes{0x83, 0x80})) << "stop-sample before the handshake";
  }
}

// One port named by the host: only it is probed, and a failure says why.
TEST_F(HardCtlPortSearch, ExplicitPortIsTheOnlyOneProbed) {
  PtyPeer lower(AnswerHandshake), named(AnswerHandshake), silent, busy(AnswerHandshake);
  nel::platform::SetPortPath(3, lower.Path());
  nel::platform::SetPortPath(6, named.Path());
  nel::platform::SetPortPath(7, silent.Path());
  nel::platform::SetPortPath(8, busy.Path());
  TnelHardCtl holder(1);
  ASSERT_TRUE(holder.SetComPortNo(8));
  struct Case {
    int port;
    int expected;
    nel::Result reason;
  };
  const Case cases[] = {
      {6, 6, nel::Result::kOk},
      {7, -1, nel::Result::kNoUnit},    // no answer
      {8, -1, nel::Result::kPortBusy},  // held by another object
      {9, -1, nel::Result::kNoUnit},    // cannot be opened
      {0, 3, nel::Result::kOk},         // 0: the search
      {150, -1, nel::Result::kInvalidArgument},
      {-2, -1, nel::Result::kInvalidArgument},
  };
  TnelHardCtl ctl;
  for (const Case& k : cases) {
    lower.ClearReceived();
    nel::ClearLastError();
    EXPECT_EQ(ctl.FindUnit(0x80, k.port), k.expected) << "port " << k.port;
    EXPECT_EQ(nel::LastErrorCode(), k.reason) << "port " << k.port << ": " << nel::LastErrorText();
    if (k.port != 0) {
      EXPECT_TRUE(lower.Received().empty()) << "port " << k.port << ": a lower port was probed";
    }
  }
  EXPECT_EQ(ctl.ProbeComPort(6, 0x80), 6);
  holder.CloseCom();
}

TEST_F(HardCtlPortSearch, SetComPortNoRefusesPortZeroAndMissingPortsAndReopens) {
  PtyPeer a, b;
  nel::platform::SetPortPath(10, a.Path());
  nel::platform::SetPortPath(3, b.Path());
  TnelHardCtl ctl;
  EXPECT_FALSE(ctl.SetComPortNo(0));
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kInvalidArgument);
  EXPECT_FALSE(ctl.SetComPortNo(150));
  EXPECT_FALSE(ctl.SetComPortNo(5));
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNoUnit);
  ASSERT_TRUE(ctl.SetComPortNo(10));
  EXPECT_TRUE(ctl.SetComPortNo(10)) << "second open of the same port keeps the running reader";
  ctl.CloseCom();
  ASSERT_TRUE(ctl.SetComPortNo(3));
  ctl.CloseCom();
  ASSERT_TRUE(ctl.SetComPortNo(10));
}

TEST(HardCtlCoeffBlock, EncodesCarriersAndLittleEndianValuesAndDecodesBack) {
  tagAD_FORCE_CONVERT set[6];
  const float values[12] = {0.000296515907f, -18.1120796f, 1.0f, -2.0f, 3.5e-4f, 0.0f,
                            -1e-3f,          123.0f,       0.5f, -0.5f, 7.0f,    -7.0f};
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
  size_t factorBytesSent = 62;  // fewer: the reply is cut and a data frame follows
  std::unique_ptr<TnelHardCtl> ctl;
  int timer = 0;
  PtyPeer::Responder answer;
  void SetUp() override {
    PortsCleared::SetUp();
    nel::platform::SetPortPath(7, unit.Path());
    answer = [this](uint8_t b, PtyPeer& u) {
      if (b == 0x85) {
        Bytes reply{0xF5};
        reply.insert(reply.end(), factorPayload.begin(), factorPayload.begin() + static_cast<long>(factorBytesSent));
        if (factorBytesSent < factorPayload.size()) {
          const int32_t t[4] = {};
          const Bytes frame = nel::test::DataRawFrame(0, 0, t);
          reply.insert(reply.end(), frame.begin(), frame.end());
        }
        u.Send(reply);
      } else if (b == 0x82 || b == 0x84) {
        u.Send({static_cast<uint8_t>(b + 0x70)});
      }
    };
    unit.SetResponder(answer);
    ctl = std::make_unique<TnelHardCtl>(0);
    ASSERT_TRUE(ctl->SetComPortNo(7));
    StartHostTimer();
  }
  // The host's processing pass from a timer of this thread's queue.
  void StartHostTimer() {
    if (timer != 0) return;
    timer = MessageQueue::Current().SetTimer(2, [this] {
      tagSAM_DATA frames[32];
      ctl->ReadOnceData(frames);
    });
  }
  void StopHostTimer() {
    MessageQueue::Current().KillTimer(timer);
    timer = 0;
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
  EXPECT_EQ(ctl->CoeffSource(), nel::link::CoeffSource::kNotRead);
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(ctl->ADForceCoeff[c].Slope, nel::kBuiltInCoeff[c].Slope);
    EXPECT_EQ(ctl->ADForceCoeff[c].Offset, nel::kBuiltInCoeff[c].Offset);
  }
  EXPECT_FALSE(ctl->GetSamThread()->GetSamplePaused());
  EXPECT_TRUE(ctl->StartADSample(false));
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

// Which set StartADSample(true) puts in use, and what it reports.
TEST_F(HardCtlLink, CoefficientSetIsUsedOnlyWhenWholeAndPlausible) {
  // A calibrated unit: slopes some per cent and offsets some mmHg from the
  // built-in set; its toe records are empty (they are not used).
  float unitSet[12] = {};
  for (int c = 0; c < 4; ++c) {
    unitSet[2 * c] = nel::kBuiltInCoeff[c].Slope * (1.0f + 0.03f * static_cast<float>(c + 1));
    unitSet[2 * c + 1] = nel::kBuiltInCoeff[c].Offset + 2.5f * static_cast<float>(c + 1);
  }
  const auto with = [&](int index, float value) {
    std::vector<float> v(unitSet, unitSet + 12);
    v[static_cast<size_t>(index)] = value;
    return v;
  };
  float builtIn[12];
  for (int c = 0; c < 6; ++c) {
    builtIn[2 * c] = nel::kBuiltInCoeff[c].Slope;
    builtIn[2 * c + 1] = nel::kBuiltInCoeff[c].Offset;
  }
  Bytes storeBuiltIn{0x84};
  const Bytes block = nel::test::CoeffPayload(builtIn);
  storeBuiltIn.insert(storeBuiltIn.end(), block.begin(), block.end());

  struct Case {
    const char* name;
    std::vector<float> values;  // empty: an all-zero block
    size_t bytesSent;
    nel::link::CoeffSource source;
    nel::Result reason;
    bool storesBuiltIn;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Case> cases = {
      {"the unit's set", with(0, unitSet[0]), 62, nel::link::CoeffSource::kUnit, nel::Result::kOk, false},
      {"empty memory", {}, 62, nel::link::CoeffSource::kBuiltInNoneStored, nel::Result::kOk, false},
      {"cut after 40 bytes", with(0, unitSet[0]), 40, nel::link::CoeffSource::kBuiltInIncomplete,
       nel::Result::kBadReply, false},
      {"NaN slope", with(0, nan), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply, true},
      {"infinite offset", with(5, inf), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply, true},
      {"zero slope", with(2, 0.0f), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply, false},
      {"negative slope", with(6, -unitSet[6]), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply,
       false},
      {"slope 5e-5", with(4, 5e-5f), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply, false},
      {"offset 300 mmHg", with(7, 300.0f), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply,
       false},
      {"offset -1e6 mmHg", with(1, -1e6f), 62, nel::link::CoeffSource::kBuiltInImplausible, nel::Result::kBadReply,
       false},
  };
  // The host hears of every substitute through the diagnostic sink as a warning.
  struct Warnings {
    int count = 0;
    static void Sink(nel::platform::DiagKind kind, nel::platform::DiagLevel level, const char*, size_t, const char*,
                     size_t, void* context) {
      if (kind == nel::platform::DiagKind::kLog && level == nel::platform::DiagLevel::kWarning)
        ++static_cast<Warnings*>(context)->count;
    }
  } warnings;
  nel::platform::SetDiagnosticSink(&Warnings::Sink, &warnings);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    factorPayload = k.values.empty() ? Bytes(62, 0) : nel::test::CoeffPayload(k.values.data());
    factorBytesSent = k.bytesSent;
    unit.ClearReceived();
    warnings.count = 0;
    EXPECT_TRUE(ctl->StartADSample(true)) << nel::LastErrorText();
    EXPECT_EQ(ctl->CoeffSource(), k.source);
    EXPECT_EQ(warnings.count, k.source == nel::link::CoeffSource::kUnit ? 0 : 1);
    EXPECT_EQ(nel::LastErrorCode(), k.reason) << nel::LastErrorText();
    Bytes expected{0x85};
    if (k.storesBuiltIn) expected.insert(expected.end(), storeBuiltIn.begin(), storeBuiltIn.end());
    expected.push_back(0x82);
    EXPECT_EQ(Settled(expected.size()), expected);
    tagAD_FORCE_CONVERT sam[6];
    ctl->GetAD2ForceCoeff(sam);
    for (int c = 0; c < 6; ++c) {
      const int from = c < 4 ? c : c - 2;  // toe channels take the ankle records
      const bool unitsSet = k.source == nel::link::CoeffSource::kUnit;
      const float slope = unitsSet ? unitSet[2 * from] : nel::kBuiltInCoeff[c].Slope;
      const float offset = unitsSet ? unitSet[2 * from + 1] : nel::kBuiltInCoeff[c].Offset;
      EXPECT_EQ(ctl->ADForceCoeff[c].Slope, slope) << "channel " << c;
      EXPECT_EQ(ctl->ADForceCoeff[c].Offset, offset) << "channel " << c;
      EXPECT_EQ(sam[c].Slope, slope) << "channel " << c;
      EXPECT_EQ(sam[c].Offset, offset) << "channel " << c;
    }
  }
  nel::platform::SetDiagnosticSink(nullptr, nullptr);
}

// StartADSample(true) with a unit that says nothing, and with a host that runs
// no processing pass during the waits (the replies arrive but are never
// unpacked): bounded by one reply wait, and reported.
TEST_F(HardCtlLink, StartOnAnUnansweredRequestEndsAfterOneWaitAndSaysWhy) {
  struct Case {
    const char* name;
    bool unitAnswers;
    bool hostDrains;
    const char* reason;
  };
  const Case cases[] = {
      {"silent unit", false, true, "did not answer"},
      {"no processing pass", true, false, "no processing pass"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    unit.SetResponder(k.unitAnswers ? answer : nullptr);
    if (k.hostDrains)
      StartHostTimer();
    else
      StopHostTimer();
    unit.ClearReceived();
    const auto start = Clock::now();
    EXPECT_FALSE(ctl->StartADSample(true));
    const long ms = MsSince(start);
    EXPECT_GE(ms, 1490);
    EXPECT_LT(ms, 2200) << "more than one reply wait";
    EXPECT_EQ(ctl->CoeffSource(), nel::link::CoeffSource::kBuiltInNoAnswer);
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kTimeout);
    EXPECT_NE(std::string(nel::LastErrorText()).find(k.reason), std::string::npos) << nel::LastErrorText();
    EXPECT_EQ(Settled(2), (Bytes{0x85, 0x82})) << "the start is still sent";
    EXPECT_EQ(0, std::memcmp(ctl->ADForceCoeff, nel::kBuiltInCoeff, sizeof ctl->ADForceCoeff));
  }
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
      {[&] {
         ctl->RunAdjust();
         ctl->OpenCloseHardwareEnlarge(true);
         ctl->OpenCloseHardwareEnlarge(false);
       },
       {}},
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
