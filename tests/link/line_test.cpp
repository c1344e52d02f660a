// The link over pseudo-terminals: the reader thread and its ring, the data
// wait, direct reads amid a stream, reply waits, restarts and the port search.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <tuple>

#include <nel/link/hard_ctl.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "link_seams.h"
#include "platform/serial_device.h"

namespace {

using nel::platform::MessageQueue;
using R = nel::Result;
using nel::test::Bytes;
using nel::test::Cat;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPort = 141;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - t).count());
}
bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto end = Clock::now() + milliseconds(timeoutMs);
  while (!condition() && Clock::now() < end) std::this_thread::sleep_for(milliseconds(1));
  return condition();
}
Bytes Frames(int n, int32_t v) {
  const int32_t t[4] = {v, v + 1, v + 2, v + 3};
  const Bytes f = nel::test::DataRawFrame(0x452, 0x309, t);
  Bytes all;
  for (int i = 0; i < n; ++i) all.insert(all.end(), f.begin(), f.end());
  return all;
}

// Holds the reader inside a store, after the write total has grown and before
// the count has, until `open`; it goes on by itself after 3 s.
struct StoreGate {
  std::atomic<bool> held{false}, open{false};
  static void Hook(void* self) {
    auto* g = static_cast<StoreGate*>(self);
    g->held = true;
    WaitFor([g] { return g->open.load(); }, 3000);
  }
};

struct LinkLine : ::testing::Test {
  StoreGate gate;  // outlives the reader thread that may call it
  PtyPeer peer;
  TSamThread sam;
  QXProtocol& p = sam.Protocol();
  tagSAM_DATA out[TSamThread::kMaxFramesPerCall];
  void SetUp() override {
    for (int n = 1; n <= 149; ++n) nel::platform::SetPortPath(n, "/nonexistent/COM" + std::to_string(n));
    nel::platform::SetPortPath(kPort, peer.Path());
    ASSERT_GE(Open(p), 0);
  }
  void TearDown() override {
    p.ClosePort();
    for (int n = 1; n <= 149; ++n) nel::platform::SetPortPath(n, "");
  }
  static int Open(QXProtocol& q) { return q.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'); }
  // Sends bytes and waits until the reader has stored them.
  void Deliver(const Bytes& bytes) {
    const int64_t target = p.WriteTotal() + static_cast<int64_t>(bytes.size());
    peer.Send(bytes);
    ASSERT_TRUE(WaitFor([&] { return p.WriteTotal() >= target; }, 3000));
  }
  int DrainFrames(int32_t lank) {
    int frames = 0;
    for (int n; (n = sam.GetData(out)) > 0; frames += n)
      for (int i = 0; i < n; ++i) EXPECT_EQ(out[i].Wave[WAVE_LANK], lank) << frames + i;
    return frames;
  }
};

// Every store is one read of at most 128 bytes; the bytes come out in order
// also where the totals pass 2^31 and 2^32; an exclusive open; a full ring
// drops what follows and the frames resynchronise after the cut.
TEST_F(LinkLine, ReaderFillsTheRingInReadsOf128AndDropsWhenFull) {
  QXProtocol second;
  EXPECT_EQ(Open(p), p.PortHandle()) << "a second open of an open port returns its handle";
  EXPECT_LT(Open(second), 0);

  struct Sizes {
    TSerialPort* port;
    int64_t last = 0;
    std::vector<int> sizes;
    static void Hook(void* self) {
      auto* s = static_cast<Sizes*>(self);
      s->sizes.push_back(static_cast<int>(s->port->WriteTotal() - s->last));
      s->last = s->port->WriteTotal();
      if (s->sizes.size() == 1) std::this_thread::sleep_for(milliseconds(50));  // the burst queues up
    }
  } sizes{&p, 0, {}};
  nel::test::PortSeams::Hook(p, &Sizes::Hook, &sizes);
  ASSERT_TRUE(p.StartReader());
  EXPECT_FALSE(p.StartReader()) << "a second reader on the same ring";
  Bytes sent(4096);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
  Deliver(sent);
  ASSERT_TRUE(WaitFor([&] { return p.RingCount() == 4096; }, 3000));  // the last store has left the hook
  nel::test::PortSeams::Hook(p, nullptr, nullptr);
  EXPECT_EQ(*std::max_element(sizes.sizes.begin(), sizes.sizes.end()), TSerialPort::kReadChunk);
  Bytes got(4096);
  p.TakeFromRing(got.data(), 4096);
  EXPECT_EQ(got, sent);

  for (const int64_t start : {(int64_t{1} << 31) - 100, (int64_t{1} << 32) - 100}) {
    nel::test::PortSeams::TotalsAt(p, start);
    Bytes in(300), back(300);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 13 + 1);
    for (size_t k = 0; k < in.size(); k += 7) {  // stores and takes of 7 bytes
      const int n = static_cast<int>(std::min<size_t>(7, in.size() - k));
      p.InjectReceived(in.data() + k, n);
      p.TakeFromRing(back.data() + k, n);
    }
    EXPECT_EQ(back, in) << "totals from " << start;
    EXPECT_EQ(p.ReadTotal(), start + 300);
  }
  nel::test::PortSeams::TotalsAt(p, 0);

  const Bytes flood = Frames(5500, 1000);  // 104500 bytes
  peer.Send(flood);
  ASSERT_TRUE(WaitFor([&] { return p.DroppedBytes() == 104500 - TSerialPort::kRingBytes; }, 5000));
  EXPECT_EQ(p.RingCount(), TSerialPort::kRingBytes);
  EXPECT_EQ(DrainFrames(1003), 5389) << "102400 bytes: 5389 whole frames and 9 bytes of the next";
  // The line goes on five bytes before the end of a frame, then whole frames.
  Deliver(Bytes(flood.end() - 5, flood.end()));
  Deliver(Frames(40, -7));
  EXPECT_EQ(DrainFrames(-4), 40);
  p.StopReader();
  EXPECT_EQ(p.RingSize(), 0);
  uint8_t none = 0x5A;
  p.TakeFromRing(&none, 1);
  EXPECT_EQ(none, 0x5A) << "nothing to take without a ring";
  EXPECT_EQ(p.WriteTotal(), 0);
  EXPECT_EQ(p.ReadTotal(), 0);
  p.ClosePort();
  EXPECT_GE(Open(second), 0) << "free again after ClosePort";
  EXPECT_EQ(second.OpenError(), 0);
}

// GetData waits for the data event only while the totals differ and the count
// is 0 (the reader between its two steps), at most 500 ms.
TEST_F(LinkLine, DataWaitTakesBytesStoredDuringItOrEndsAfter500Ms) {
  ASSERT_TRUE(p.StartReader());
  const auto start = Clock::now();
  EXPECT_EQ(sam.GetData(out), 0);
  EXPECT_LT(MsSince(start), 250) << "equal totals return at once";
  Deliver(Frames(1, 10));
  EXPECT_EQ(sam.GetData(nullptr), 0);
  ASSERT_EQ(sam.GetData(out), 1);
  ASSERT_TRUE(p.DataEvent().IsSet());
  nel::test::PortSeams::Hook(p, &StoreGate::Hook, &gate);
  peer.Send(Frames(1, 20));
  ASSERT_TRUE(WaitFor([&] { return gate.held.load(); }, 3000));
  ASSERT_EQ(p.RingCount(), 0);
  std::thread releaser([&] {  // lets the reader go on once GetData has reset the event to wait
    WaitFor([&] { return !p.DataEvent().IsSet(); }, 3000);
    gate.open = true;
  });
  auto t = Clock::now();
  const int n = sam.GetData(out);
  releaser.join();
  EXPECT_EQ(n, 1) << "the frame stored during the wait comes with the same call";
  EXPECT_LT(MsSince(t), 2000);

  gate.held = false;
  gate.open = false;
  peer.Send(Frames(1, 30));
  ASSERT_TRUE(WaitFor([&] { return gate.held.load(); }, 3000));
  t = Clock::now();
  EXPECT_EQ(sam.GetData(out), 0);
  const long waited = MsSince(t);
  gate.open = true;
  EXPECT_GE(waited, TSamThread::kDataWaitMs - 20);
  EXPECT_LT(waited, 1500);
  ASSERT_TRUE(WaitFor([&] { return p.RingCount() == 19; }, 3000));
  ASSERT_EQ(sam.GetData(out), 1) << "the held bytes come whole with the next call";
  EXPECT_EQ(out[0].Wave[WAVE_LANK], 33);
  // A frame half collected before a reader restart is forgotten: its tail completes no frame.
  const Bytes frame = Frames(1, 100);
  Deliver(Bytes(frame.begin(), frame.begin() + 10));
  EXPECT_EQ(sam.GetData(out), 0);
  ASSERT_EQ(p.Pack().Code, 0x90);
  p.StopReader();
  ASSERT_TRUE(p.StartReader());
  Deliver(Bytes(frame.begin() + 10, frame.end()));
  EXPECT_EQ(sam.GetData(out), 0);
}

// Suspended bytes are dropped; the idle watch gives up after 2 s of silence
// and sees later data; a hang-up is noted without spinning, and a new port works.
TEST_F(LinkLine, SuspendIdleWatchAndHangUp) {
  ASSERT_TRUE(p.StartReader());
  p.Suspend();
  peer.Send(Bytes(300, 0x11));
  // The terminal hands written bytes to the reader's side a moment later: let
  // them arrive before waiting for the reader to have dropped them all.
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_TRUE(WaitFor([&] { return peer.Unread() == 0; }, 3000));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(p.WriteTotal(), 0);
  p.Resume();
  p.SetIdleWatch(true);
  Deliver({0x22});
  const auto start = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return p.IdleReturns() == 1; }, 15000));
  EXPECT_GE(MsSince(start), 1800) << "200 empty polls of 10 ms";
  Deliver({0x90, 0x01});
  uint8_t b[3] = {};
  p.TakeFromRing(b, 3);
  EXPECT_EQ(Bytes(b, b + 3), (Bytes{0x22, 0x90, 0x01}));

  peer.HangUp();
  ASSERT_TRUE(WaitFor([&] { return p.DeviceLost(); }, 2000));
  const double cpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(static_cast<double>(std::clock()) / CLOCKS_PER_SEC - cpu, 0.1) << "the reader spins";
  EXPECT_EQ(sam.GetData(out), 0);
  int written = 0;
  EXPECT_FALSE(p.WriteBytes(b, 1, written));
  const auto stop = Clock::now();
  p.ClosePort();
  EXPECT_LT(MsSince(stop), 200);
  PtyPeer other;
  nel::platform::SetPortPath(kPort, other.Path());
  ASSERT_GE(Open(p), 0);
  ASSERT_TRUE(p.StartReader());
  EXPECT_FALSE(p.DeviceLost());
}

// Direct reads while the unit streams: only a whole reply of the asked kind
// counts, within 1000 ms.
TEST_F(LinkLine, DirectReadsTakeOnlyAWholeReplyOutOfAStream) {
  Bytes factor{0xF5};
  for (int i = 0; i < 62; ++i) factor.push_back(static_cast<uint8_t>(i));
  struct Case {
    const char* name;
    Bytes reply;  // sent on 0x81, between stream frames
    bool ok;
    int version;
  };
  const Case cases[] = {
      {"whole reply", {0xF1, 4, 5, 6}, true, 0x040506},
      {"cut reply, then a whole one", {0xF1, 9, 0x90, 0xF1, 4, 5, 6}, true, 0x040506},
      {"a factor reply", factor, false, 0},
      {"cut by a reply code", {0xF1, 7, 0xF5, 8, 9}, false, 0},
      {"no reply", {}, false, 0},
  };
  for (const Case& k : cases) {
    peer.Send(Frames(20, 5));  // stale, purged by the request
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    peer.ClearReceived();
    peer.SetResponder([&](uint8_t byte, PtyPeer& unit) {
      if (byte == 0x81) unit.Send(Cat({Frames(3, 6), k.reply, Frames(3, 7)}));
      if (byte == 0x85) unit.Send(Cat({Frames(2, 8), factor}));
    });
    unsigned char a = 0xEE, b = 0xEE, c = 0xEE;
    const auto start = Clock::now();
    EXPECT_EQ(p.GetVersionDirector(a, b, c), k.ok) << k.name;
    EXPECT_EQ(a << 16 | b << 8 | c, k.version) << k.name;
    EXPECT_EQ(peer.Received(), Bytes{0x81}) << k.name;
    EXPECT_TRUE(k.ok || MsSince(start) >= 950) << k.name << ": a failed read waits its 1000 ms";
  }
  unsigned char got[63] = {};
  ASSERT_TRUE(p.GetFactorDirector(got));
  EXPECT_EQ(Bytes(got, got + 63), factor);
  // A direct read of the port gives up after 1000 ms with what came.
  peer.Send({0xF1, 0x01});
  uint8_t in[4];
  int read = -1;
  const auto start = Clock::now();
  EXPECT_FALSE(p.ReadBytes(in, 4, read));
  EXPECT_EQ(read, 2);
  EXPECT_GE(MsSince(start), 950);
  p.ClosePort();
  nel::ClearLastError();
  EXPECT_FALSE(p.GetFactorDirector(got));
  EXPECT_EQ(nel::LastErrorCode(), R::kNotOpen);
}

// A reply wait lasts 1500 ms and ends early on a close request (refused); a
// reply that arrives but is never unpacked is told apart.
TEST_F(LinkLine, ReplyWaitsEndOnTimeOutOrACloseRequestAndSayWhy) {
  ASSERT_TRUE(p.StartReader());
  peer.SetResponder([](uint8_t b, PtyPeer& unit) {
    if (b == 0x80 || b == 0x82) unit.Send({static_cast<uint8_t>(b + 0x70)});
  });
  MessageQueue::Current().PostClose();
  auto start = Clock::now();
  EXPECT_FALSE(p.BeginSample());
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(nel::LastErrorCode(), R::kRefused);
  nel::platform::Message m;
  ASSERT_TRUE(MessageQueue::Current().Peek(m, true)) << "the close request stays queued";
  start = Clock::now();
  EXPECT_FALSE(p.ShakeHand()) << "no processing pass unpacks the reply";
  EXPECT_GE(MsSince(start), 1490);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(nel::LastErrorCode(), R::kTimeout);
  EXPECT_NE(std::string(nel::LastErrorText()).find("no processing pass"), std::string::npos) << nel::LastErrorText();
  // With a processing pass from a host timer the same reply counts.
  const int timer = MessageQueue::Current().SetTimer(2, [this] { sam.GetData(out); });
  EXPECT_TRUE(p.ShakeHand());
  MessageQueue::Current().KillTimer(timer);
  p.ClosePort();
  nel::ClearLastError();
  EXPECT_FALSE(p.BeginSample());
  EXPECT_EQ(nel::LastErrorCode(), R::kNotOpen);
}

// The search probes ports 1..149 in order (stop-sample, then the handshake)
// and takes the lowest that answers, skipping ports in use; a named port is
// the only one probed, and a failure says why.
TEST_F(LinkLine, PortSearchFindsTheLowestAnsweringUnitWhateverTheLineHolds) {
  const auto handshake = [](uint8_t b, PtyPeer& unit) {
    if (b == 0x80) unit.Send({0xF0});
  };
  PtyPeer silent, busy(handshake), streaming, first(handshake), last(handshake);
  for (PtyPeer* stale : {&silent, &streaming}) {  // an earlier host left bytes on these lines
    nel::platform::SerialDevice raw;
    ASSERT_TRUE(raw.Open(stale->Path()));
  }
  silent.Send({0x90, 0x01, 0xF0});  // a stale handshake reply
  std::atomic<bool> streams{true}, quit{false};
  streaming.SetResponder([&](uint8_t b, PtyPeer& unit) {
    if (b == 0x83) streams = false, unit.Send({0xF3});
    if (b == 0x80) unit.Send({0xF0});
  });
  std::thread stream([&] {
    while (!quit) {
      if (streams && streaming.Unread() < 3000) streaming.Send(Frames(1, 9));
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  ASSERT_TRUE(WaitFor([&] { return streaming.Unread() >= 2000 && silent.Unread() == 3; }, 3000));
  for (const auto& [port, unit] : {std::pair{2, &silent}, {4, &busy}, {6, &streaming}, {9, &first}, {149, &last}})
    nel::platform::SetPortPath(port, unit->Path());
  TnelHardCtl holder(1), ctl;
  ASSERT_TRUE(holder.SetComPortNo(4));
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 6) << "a unit still streaming answers after stop-sample";
  EXPECT_EQ(silent.Received(), (Bytes{0x83, 0x80}));
  EXPECT_TRUE(busy.Received().empty());
  quit = true;
  stream.join();
  const std::tuple<int, int, R> cases[] = {{0, 9, R::kOk},
                                           {9, 9, R::kOk},
                                           {2, -1, R::kNoUnit},
                                           {4, -1, R::kPortBusy},
                                           {5, -1, R::kNoUnit},
                                           {149, 149, R::kOk},
                                           {150, -1, R::kInvalidArgument},
                                           {-2, -1, R::kInvalidArgument}};
  nel::platform::SetPortPath(6, "/nonexistent");
  for (const auto& [port, found, reason] : cases) {
    silent.ClearReceived();
    nel::ClearLastError();
    EXPECT_EQ(ctl.FindUnit(0x80, port), found) << port;
    EXPECT_EQ(nel::LastErrorCode(), reason) << port << ": " << nel::LastErrorText();
    EXPECT_TRUE(port <= 2 || silent.Received().empty()) << port << ": port 2 was probed";
  }
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x81), -1) << "the unit answers only its handshake code";
  ASSERT_TRUE(ctl.SetComPortNo(9));
  EXPECT_TRUE(ctl.SetComPortNo(9)) << "a second open keeps the running reader";
  // A start whose factor reply arrives but is never unpacked (no processing
  // pass runs) costs one reply wait: "begin sample" goes without waiting.
  first.SetResponder([](uint8_t b, PtyPeer& unit) {
    if (b == 0x85) unit.Send(Cat({{0xF5}, Bytes(62, 0)}));
  });
  first.ClearReceived();
  auto start = Clock::now();
  EXPECT_FALSE(ctl.StartADSample(true));
  EXPECT_LT(MsSince(start), 2200);
  EXPECT_NE(std::string(nel::LastErrorText()).find("no processing pass"), std::string::npos) << nel::LastErrorText();
  EXPECT_TRUE(WaitFor([&] { return first.Received() == Bytes{0x85, 0x82}; }, 1000));
  first.SetResponder(handshake);
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 149) << "its own open port is skipped too";
  ctl.CloseCom();
  for (const auto& [port, reason] :
       {std::pair{0, R::kInvalidArgument}, {150, R::kInvalidArgument}, {4, R::kPortBusy}, {5, R::kNoUnit}}) {
    EXPECT_FALSE(ctl.SetComPortNo(port)) << port;
    EXPECT_EQ(nel::LastErrorCode(), reason) << port;
  }
  holder.CloseCom();
  EXPECT_EQ(ctl.CheckQX7700BComPortNo(0x80), 4);
}

}  // namespace
