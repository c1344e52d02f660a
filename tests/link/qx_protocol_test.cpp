// The frame protocol: exact command bytes, the reply wait with the host's
// message queue, and the receive algorithm byte by byte.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nel/link/qx_protocol.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"

namespace {

using nel::platform::MessageQueue;
using nel::test::Bytes;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 142;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Feeds bytes without a port and collects what the callback sees.
struct Collector {
  std::vector<PACK_BUF> packs;
  static void Callback(PACK_BUF* pack, void* context) { static_cast<Collector*>(context)->packs.push_back(*pack); }
};

int Feed(QXProtocol& p, const Bytes& bytes, Collector* c) {
  int last = 0;
  for (uint8_t b : bytes) last = p.UnpackData(b, c ? &Collector::Callback : nullptr, c);
  return last;
}

TEST(QXProtocolUnpack, CompleteDataFrameGoesToTheCallbackAndReturnsTheLastByte) {
  QXProtocol p;
  Collector c;
  const int32_t t[4] = {0x123456, -1, 0x800000, 0x7FFFFF};
  Bytes frame = nel::test::DataRawFrame(0xABC, 0x5DE, t);
  frame.back() = 0x5E;
  EXPECT_EQ(Feed(p, Bytes(frame.begin(), frame.end() - 1), &c), 0);
  EXPECT_EQ(p.UnpackData(frame.back(), &Collector::Callback, &c), 0x5E);
  ASSERT_EQ(c.packs.size(), 1u);
  EXPECT_EQ(c.packs[0].Frame[0], 0x90);
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), c.packs[0].Frame)) << "the callback restores bit 7 itself";
  EXPECT_TRUE(p.Entry(QXProtocol::kDataRaw).Event->IsSet());
  EXPECT_EQ(p.Pack().Code, 0) << "the frame is closed";
}

TEST(QXProtocolUnpack, InterruptedFramesAndGarbageAreDroppedAndTheStreamResynchronises) {
  QXProtocol p;
  Collector c;
  const int32_t t[4] = {1, 2, 3, 4};
  const Bytes frame = nel::test::DataRawFrame(100, 200, t);
  Bytes stream{0x01, 0x02, 0x7F};  // payload bytes with no frame open
  stream.insert(stream.end(), frame.begin(), frame.begin() + 10);
  stream.push_back(0x91);                                        // a code outside the table cuts it
  stream.insert(stream.end(), frame.begin() + 10, frame.end());  // its tail alone is garbage
  stream.insert(stream.end(), {0x88, 0xEF, 0xF8, 0xFF});         // ignored codes
  stream.insert(stream.end(), frame.begin(), frame.end());
  stream.insert(stream.end(), frame.begin(), frame.begin() + 5);
  stream.insert(stream.end(), frame.begin(), frame.end());  // a new 0x90 restarts the frame
  Feed(p, stream, &c);
  ASSERT_EQ(c.packs.size(), 2u);
  for (const auto& pk : c.packs) EXPECT_TRUE(std::equal(frame.begin(), frame.end(), pk.Frame));
}

TEST(QXProtocolUnpack, WithoutCallbackBitSevenIsRestoredInPlace) {
  QXProtocol p;
  const int32_t t[4] = {0x808080, 0, 0, 0};
  const Bytes frame = nel::test::DataRawFrame(0x0FF, 0x080, t);
  EXPECT_EQ(Feed(p, frame, nullptr), frame.back());
  EXPECT_EQ(p.Pack().Frame[4], 0x80);
  EXPECT_EQ(p.Pack().Frame[5], 0x80);
  EXPECT_EQ(p.Pack().Frame[6], 0x80);
  EXPECT_EQ(p.Pack().Frame[17], 0xFF);
  EXPECT_EQ(p.Pack().Frame[18], 0x80);
}

TEST(QXProtocolUnpack, RawDataProcUsesEveryCarrierBit) {
  PACK_BUF pack{};
  pack.Frame[1] = 0x7F;
  pack.Frame[2] = 0x7F;
  pack.Frame[3] = 0x01;
  QXProtocol::RawDataProc(&pack);
  for (int k = 3; k <= 17; ++k) EXPECT_EQ(pack.Frame[k + 1], 0x80) << "payload byte " << k;
  EXPECT_EQ(pack.Frame[1], 0x7F);
  QXProtocol::RawDataProc(nullptr);
}

TEST(QXProtocolUnpack, ShortRepliesSignalTheirCommandEntryAtOnce) {
  QXProtocol p;
  for (int n : {0, 2, 3, 4, 6, 7}) {
    EXPECT_FALSE(p.Entry(n).Event->IsSet());
    EXPECT_EQ(p.UnpackData(static_cast<unsigned char>(0xF0 + n), nullptr, nullptr), 0);
    EXPECT_TRUE(p.Entry(n).Event->IsSet()) << n;
    EXPECT_FALSE(p.Entry(9 + n).Event->IsSet()) << "not the reply entry's event";
  }
  // A version reply completes entry 1 after its three payload bytes.
  EXPECT_EQ(Feed(p, {0xF1, 1, 2}, nullptr), 0);
  EXPECT_FALSE(p.Entry(1).Event->IsSet());
  EXPECT_EQ(p.UnpackData(3, nullptr, nullptr), 3);
  EXPECT_TRUE(p.Entry(1).Event->IsSet());
}

TEST(QXProtocolUnpack, TableHasTheUnitsCodesAndLengths) {
  QXProtocol p;
  const uint8_t codes[17] = {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x90,
                             0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7};
  const int lengths[17] = {1, 1, 1, 1, 63, 1, 5, 2, 19, 1, 4, 1, 1, 1, 63, 1, 1};
  for (int i = 0; i < 17; ++i) {
    EXPECT_EQ(p.Entry(i).Code, codes[i]);
    EXPECT_EQ(p.Entry(i).Length, lengths[i]);
    EXPECT_EQ(p.Entry(i).Index, i);
  }
  QXProtocol other;
  EXPECT_NE(p.Entry(0).Event, other.Entry(0).Event) << "each object has its own table";
}

// Commands over a pseudo-terminal, with a host timer draining the stream.
struct QXProtocolLink : ::testing::Test {
  PtyPeer peer;
  TSamThread sam;
  QXProtocol& p = sam.Protocol();
  int timer = 0;
  void SetUp() override {
    ASSERT_TRUE(nel::platform::SetPortPath(kPort, peer.Path()));
    ASSERT_GE(p.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'), 0);
  }
  // The host's periodic drain; with stopAfterMs >= 0 the timer kills itself
  // after that long, so that a later reply wait is no longer restarted by it.
  void StartHost(int stopAfterMs = -1) {
    if (!p.ReaderRunning()) {
      ASSERT_TRUE(p.StartReader());
    }
    const auto start = Clock::now();
    timer = MessageQueue::Current().SetTimer(2, [this, start, stopAfterMs] {
      tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
      sam.GetData(frames);
      if (stopAfterMs >= 0 && MsSince(start) >= stopAfterMs) {
        MessageQueue::Current().KillTimer(timer);
        timer = 0;
      }
    });
  }
  void TearDown() override {
    if (timer) MessageQueue::Current().KillTimer(timer);
    nel::platform::Message m;
    while (MessageQueue::Current().Peek(m, true)) {
    }
    p.ClosePort();
    nel::platform::SetPortPath(kPort, "");
  }
};

TEST_F(QXProtocolLink, EveryCommandSendsItsExactBytes) {
  StartHost();
  struct Case {
    std::function<bool()> send;
    Bytes bytes;
    bool result;
  };
  unsigned char factor[63];
  for (int i = 0; i < 63; ++i) factor[i] = static_cast<unsigned char>(i);
  const std::vector<Case> cases = {
      {[&] { return p.EndSample(); }, {0x83}, true},
      {[&] { return p.SetGap(-1, false); }, {0x87, 0x0C}, true},
      {[&] { return p.SetGap(-1, true); }, {0x87, 0x08}, true},
      {[&] { return p.SetGap(2, true); }, {0x87, 0x02}, true},
      {[&] { return p.SetGap(2, false); }, {0x87, 0x06}, true},
      {[&] { return p.SetGap(4, false); }, {}, false},
      {[&] { return p.SetGap(-2, true); }, {}, false},
      {[&] { return p.SetPump(2, 6000, 0); }, {0x86, 0x17, 0x70, 0x02, 0x00}, true},
      {[&] { return p.SetPump(-1, 0, 0); }, {0x86, 0x00, 0x00, 0x04, 0x00}, true},
      {[&] { return p.SetPump(0, 0x80FF, 0x11); }, {0x86, 0x00, 0x7F, 0x30, 0x11}, true},
      {[&] { return p.SetPump(3, 0x0180, 0x7F); }, {0x86, 0x01, 0x00, 0x23, 0x7F}, true},
      {[&] { return p.SetPump(5, 6000, 0); }, {}, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    peer.ClearReceived();
    EXPECT_EQ(cases[i].send(), cases[i].result) << "case " << i;
    if (!cases[i].bytes.empty()) {
      ASSERT_TRUE(peer.WaitReceived(cases[i].bytes.size(), 1000)) << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(peer.Received(), cases[i].bytes) << "case " << i;
  }
  // Waiting commands, answered by the peer.
  peer.SetResponder([](uint8_t b, PtyPeer& unit) {
    if (b == 0x81)
      unit.Send({0xF1, 0x01, 0x02, 0x7F});
    else if (b == 0x80 || b == 0x82 || b == 0x84)
      unit.Send({static_cast<uint8_t>(b + 0x70)});
  });
  peer.ClearReceived();
  EXPECT_TRUE(p.ShakeHand());
  EXPECT_TRUE(p.BeginSample());
  unsigned char a = 9, b = 9, c = 9;
  EXPECT_TRUE(p.GetVersion(a, b, c));
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 0x7F);
  EXPECT_TRUE(p.SetFactor(factor));
  Bytes expected{0x80, 0x82, 0x81, 0x84};
  expected.insert(expected.end(), factor + 1, factor + 63);
  ASSERT_TRUE(peer.WaitReceived(expected.size(), 1000));
  EXPECT_EQ(peer.Received(), expected);
}

TEST_F(QXProtocolLink, GetFactorFillsTheCallersBufferFromTheReply) {
  StartHost();
  Bytes reply{0xF5};
  for (int i = 0; i < 62; ++i) reply.push_back(static_cast<uint8_t>((i * 3) & 0x7F));
  peer.SetResponder([&](uint8_t byte, PtyPeer& unit) {
    if (byte == 0x85) unit.Send(reply);
  });
  unsigned char got[63] = {};
  ASSERT_TRUE(p.GetFactor(got));
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), got));
  EXPECT_EQ(p.Entry(QXProtocol::kGetFactor).Reply.load(), nullptr) << "the reply pointer is cleared";
}

TEST_F(QXProtocolLink, RepliesCountOnlyWhenUnpackedWithinTheWait) {
  ASSERT_TRUE(p.StartReader());
  // Without a host drain the reply stays in the ring: false after 1500 ms.
  peer.SetResponder([](uint8_t byte, PtyPeer& unit) {
    if (byte == 0x80) unit.Send({0xF0});
  });
  auto start = Clock::now();
  EXPECT_FALSE(p.ShakeHand());
  EXPECT_GE(MsSince(start), 1490);
  EXPECT_LT(MsSince(start), 1900);
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kTimeout);
  EXPECT_NE(std::string(nel::LastErrorText()).find("no processing pass"), std::string::npos)
      << "the reply arrived but was never unpacked: " << nel::LastErrorText();
  p.Reset();

  // A reply that comes late but within the wait, unpacked by the host timer, counts.
  StartHost();
  peer.SetResponder([](uint8_t byte, PtyPeer& unit) {
    if (byte != 0x84) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    unit.Send({0xF4});
  });
  unsigned char frame[63] = {};
  start = Clock::now();
  EXPECT_TRUE(p.SetFactor(frame));
  EXPECT_GE(MsSince(start), 1150);
}

TEST_F(QXProtocolLink, VersionReplyCutShortLeavesGetVersionWaitingUntilItsTimeOut) {
  StartHost();
  peer.SetResponder([](uint8_t byte, PtyPeer& unit) {
    if (byte == 0x81) unit.Send({0xF1, 0x05, 0xF6, 0x06, 0x07});
  });
  unsigned char a = 1, b = 1, c = 1;
  const auto start = Clock::now();
  EXPECT_FALSE(p.GetVersion(a, b, c));
  EXPECT_GE(MsSince(start), 1490);
  EXPECT_LT(MsSince(start), 2000) << "the host's timer does not extend the wait";
  EXPECT_EQ(a + b + c, 0);
  EXPECT_EQ(p.ReplyBytes(QXProtocol::kGetVersion), 2) << "code and one payload byte arrived";
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kTimeout);
  EXPECT_TRUE(p.Entry(QXProtocol::kPump).Event->IsSet()) << "the cutting 0xF6 was unpacked";
}

TEST_F(QXProtocolLink, CommandsThatCannotBeSentSayWhy) {
  p.ClosePort();
  nel::ClearLastError();
  EXPECT_FALSE(p.BeginSample());
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNotOpen);
  unsigned char a = 0, b = 0, c = 0;
  nel::ClearLastError();
  EXPECT_FALSE(p.GetVersionDirector(a, b, c));
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNotOpen);
}

TEST_F(QXProtocolLink, CloseOrQuitInTheQueueEndsTheWaitAndStaysQueued) {
  StartHost();
  for (const uint32_t id : {nel::platform::kMsgClose, nel::platform::kMsgQuit}) {
    MessageQueue::Current().Post({nel::platform::kMsgUser, 0, 0});
    MessageQueue::Current().Post({id, 0, 0});
    const auto start = Clock::now();
    EXPECT_FALSE(p.BeginSample());
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kRefused);
    nel::platform::Message m;
    ASSERT_TRUE(MessageQueue::Current().Peek(m, true));
    EXPECT_EQ(m.id, id);
  }
}

TEST_F(QXProtocolLink, DirectorVariantsReadTheAnswerThemselves) {
  // No reader thread: the direct exchanges read the port themselves.
  Bytes factor{0xF5};
  for (int i = 0; i < 62; ++i) factor.push_back(static_cast<uint8_t>(i));
  peer.SetResponder([&](uint8_t byte, PtyPeer& unit) {
    if (byte == 0x81) unit.Send({0xF1, 3, 4, 5});
    if (byte == 0x85) unit.Send(factor);
  });
  unsigned char a = 0, b = 0, c = 0;
  ASSERT_TRUE(p.GetVersionDirector(a, b, c));
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(c, 5);
  unsigned char got[63] = {};
  ASSERT_TRUE(p.GetFactorDirector(got));
  EXPECT_TRUE(std::equal(factor.begin(), factor.end(), got));

  peer.SetResponder(nullptr);
  a = b = c = 7;
  const auto start = Clock::now();
  EXPECT_FALSE(p.GetVersionDirector(a, b, c));
  EXPECT_GE(MsSince(start), 950);
  EXPECT_EQ(a + b + c, 0);
}

// The direct version read while a unit streams (an earlier host left it
// sampling) or after a reply was cut: only a whole version reply counts.
TEST_F(QXProtocolLink, DirectVersionReadTakesOnlyAWholeVersionReply) {
  const int32_t t[4] = {0x045209, 0x7F0102, 0x031415, 0x161718};
  const Bytes frame = nel::test::DataRawFrame(0x452, 0x309, t);
  struct Case {
    const char* name;
    Bytes reply;  // sent on 0x81, between stream frames
    bool ok;
    unsigned char version[3];
  };
  const std::vector<Case> cases = {
      {"whole reply within the stream", {0xF1, 4, 5, 6}, true, {4, 5, 6}},
      {"cut reply, then a whole one", {0xF1, 9, 0x90, 0xF1, 4, 5, 6}, true, {4, 5, 6}},
      {"no reply, only the stream", {}, false, {0, 0, 0}},
  };
  for (const Case& k : cases) {
    std::atomic<bool> stop{false};
    // Stale stream bytes wait on the line before the request, and more follow.
    for (int i = 0; i < 20; ++i) peer.Send(frame);
    std::thread stream([&] {
      while (!stop) {
        peer.Send(frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    peer.SetResponder([&](uint8_t byte, PtyPeer& unit) {
      if (byte == 0x81 && !k.reply.empty()) unit.Send(k.reply);
    });
    unsigned char a = 0xEE, b = 0xEE, c = 0xEE;
    EXPECT_EQ(p.GetVersionDirector(a, b, c), k.ok) << k.name;
    stop = true;
    stream.join();
    peer.SetResponder(nullptr);
    EXPECT_EQ((std::vector<int>{a, b, c}), (std::vector<int>{k.version[0], k.version[1], k.version[2]})) << k.name;
  }
}

// A frame half collected before the link is closed, or before the reader is
// restarted, is forgotten: its tail arriving on the new link is no frame.
TEST_F(QXProtocolLink, HalfFrameFromBeforeAReconnectDoesNotCompleteAfterIt) {
  const int32_t t[4] = {100, 200, 300, 400};
  const Bytes frame = nel::test::DataRawFrame(1000, 2000, t);
  enum Reconnect { kCloseAndOpen, kReaderRestart };
  for (const Reconnect how : {kCloseAndOpen, kReaderRestart}) {
    if (!p.ReaderRunning()) {
      ASSERT_TRUE(p.StartReader());
    }
    tagSAM_DATA out[TSamThread::kMaxFramesPerCall];
    peer.Send(Bytes(frame.begin(), frame.begin() + 10));
    const auto end = Clock::now() + std::chrono::seconds(2);
    int taken = 0;
    while (p.ReadTotal() < 10 && Clock::now() < end) taken += sam.GetData(out);
    ASSERT_EQ(p.ReadTotal(), 10) << how;
    ASSERT_EQ(taken, 0);
    ASSERT_EQ(p.Pack().Code, 0x90) << "half a frame is being collected";
    if (how == kCloseAndOpen) {
      p.ClosePort();
      ASSERT_GE(p.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'), 0);
    } else {
      p.StopReader();
    }
    ASSERT_TRUE(p.StartReader());
    peer.Send(Bytes(frame.begin() + 10, frame.end()));
    int got = 0;
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (p.ReadTotal() < 9 && Clock::now() < until) got += sam.GetData(out);
    ASSERT_EQ(p.ReadTotal(), 9) << how;
    EXPECT_EQ(got, 0) << "case " << how << ": the tail completed a frame begun on the old link";
    p.StopReader();
  }
}

TEST_F(QXProtocolLink, ResumeAndResetClearTheRing) {
  ASSERT_TRUE(p.StartReader());
  peer.Send({0x90, 1, 2, 3});
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (p.RingCount() < 4 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(p.RingCount(), 4);
  p.Suspend();
  p.Reset();
  EXPECT_EQ(p.RingCount(), 0);
  EXPECT_EQ(p.WriteTotal(), 0);
  EXPECT_TRUE(p.GetStatus()) << "Reset leaves the suspended flag";
  p.UnpackData(0x90, nullptr, nullptr);
  p.Resume();
  EXPECT_FALSE(p.GetStatus());
  EXPECT_EQ(p.Pack().Code, 0) << "Resume closes the open frame";
}

}  // namespace
