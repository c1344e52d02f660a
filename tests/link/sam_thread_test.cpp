// The sampling object: frames from the ring, decoding, the moving-average
// pressure conversion and the diagnostic files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>

#include <nel/link/sam_thread.h>

#include <nel/platform/diagnostics.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "link_seams.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 143;

// Holds the reader thread inside a store, after the ring's write total has
// grown and before its count has, until the test opens the gate. A gate left
// closed opens by itself after kLimit, so a broken drain side cannot hang the
// test; it only shows as a long call.
class StoreGate {
 public:
  static constexpr auto kLimit = std::chrono::seconds(3);
  static void Hook(void* self) { static_cast<StoreGate*>(self)->Hold(); }
  bool WaitHeld() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kLimit, [&] { return held_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  void Hold() {
    std::unique_lock lock(mutex_);
    held_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, kLimit, [&] { return open_; });
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool held_ = false;
  bool open_ = false;
};

struct SamThreadTest : ::testing::Test {
  StoreGate gate;  // declared first: outlives the reader thread that may call it
  PtyPeer peer;
  TSamThread sam;
  tagSAM_DATA out[64] = {};
  void SetUp() override {
    ASSERT_TRUE(nel::platform::SetPortPath(kPort, peer.Path()));
    ASSERT_GE(sam.Protocol().OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'), 0);
    ASSERT_TRUE(sam.Protocol().StartReader());
  }
  void TearDown() override { nel::platform::SetPortPath(kPort, ""); }
  // Sends bytes and waits until the reader has stored them all.
  void Deliver(const Bytes& bytes) {
    const int64_t target = sam.Protocol().WriteTotal() + static_cast<int64_t>(bytes.size());
    peer.Send(bytes);
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (sam.Protocol().WriteTotal() < target && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(sam.Protocol().WriteTotal(), target);
  }
};

TEST_F(SamThreadTest, DecodesWavesWithSignExtensionAndToeCopies) {
  const int32_t t[4] = {0x800000, 0x7FFFFF, -5, 0x012345};
  Deliver(nel::test::DataRawFrame(0xFFF, 0x123, t));
  ASSERT_EQ(sam.GetData(out), 1);
  EXPECT_EQ(out[0].Wave[WAVE_ECG], 4095);
  EXPECT_EQ(out[0].Wave[WAVE_PCG], 0x123);
  EXPECT_EQ(out[0].Wave[WAVE_RBRA], -8388608);
  EXPECT_EQ(out[0].Wave[WAVE_LBRA], 8388607);
  EXPECT_EQ(out[0].Wave[WAVE_RANK], -5);
  EXPECT_EQ(out[0].Wave[WAVE_LANK], 0x012345);
  EXPECT_EQ(out[0].Wave[WAVE_RTOE], -5);
  EXPECT_EQ(out[0].Wave[WAVE_LTOE], 0x012345);
  EXPECT_EQ(out[0].Pressure[0], 0.0f) << "negative pressure is 0";
}

TEST_F(SamThreadTest, EqualTotalsReturnAtOnceAndNullOutputTakesNothing) {
  const auto start = Clock::now();
  EXPECT_EQ(sam.GetData(out), 0);
  // Far below the 500 ms data wait, with room for a loaded machine.
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
  const int32_t t[4] = {};
  Deliver(nel::test::DataRawFrame(1, 2, t));
  EXPECT_EQ(sam.GetData(nullptr), 0);
  EXPECT_EQ(sam.Protocol().RingCount(), 19);
  EXPECT_EQ(sam.GetData(out), 1);
}

TEST_F(SamThreadTest, FrameSplitOverTwoCallsAndAtMost27FramesPerCall) {
  const int32_t t[4] = {10, 20, 30, 40};
  const Bytes frame = nel::test::DataRawFrame(7, 8, t);
  Bytes stream;
  for (int i = 0; i < 60; ++i) stream.insert(stream.end(), frame.begin(), frame.end());
  // First 10 bytes alone: nothing complete yet.
  Deliver(Bytes(stream.begin(), stream.begin() + 10));
  EXPECT_EQ(sam.GetData(out), 0);
  Deliver(Bytes(stream.begin() + 10, stream.end()));
  int total = 0;
  int calls = 0;
  for (int n; (n = sam.GetData(out)) > 0; ++calls) {
    EXPECT_LE(n, TSamThread::kMaxFramesPerCall);
    total += n;
    EXPECT_EQ(out[n - 1].Wave[WAVE_LANK], 40);
  }
  EXPECT_EQ(total, 60);
  EXPECT_EQ(calls, 3) << "1140 bytes in calls of at most 512";
  // 9 bytes of a previous frame plus 512 fresh ones give the 27-frame maximum.
  Deliver(Bytes(frame.begin(), frame.begin() + 9));
  EXPECT_EQ(sam.GetData(out), 0);
  Bytes more(frame.begin() + 9, frame.end());
  for (int i = 0; i < 28; ++i) more.insert(more.end(), frame.begin(), frame.end());
  Deliver(more);
  EXPECT_EQ(sam.GetData(out), 27);
}

// The one wait of GetData: the totals differ but the count is still 0 (the
// reader has grown the write total and not yet the count). The reader is held
// at exactly that point by the store gate.
TEST_F(SamThreadTest, BytesStoredDuringTheDataWaitAreReturnedBySameCall) {
  const int32_t t[4] = {11, 22, 33, 44};
  const Bytes frame = nel::test::DataRawFrame(5, 6, t);
  Deliver(frame);
  ASSERT_EQ(sam.GetData(out), 1);
  // The data event stays signalled from that store; GetData resets it when it
  // starts waiting, which tells the releasing thread to let the reader go on.
  ASSERT_TRUE(sam.Protocol().DataEvent().IsSet());
  nel::test::PortSeams::Hook(sam.Protocol(), &StoreGate::Hook, &gate);
  peer.Send(frame);
  ASSERT_TRUE(gate.WaitHeld());
  ASSERT_NE(sam.Protocol().WriteTotal(), sam.Protocol().ReadTotal());
  ASSERT_EQ(sam.Protocol().RingCount(), 0);
  std::thread releaser([&] {
    const auto end = Clock::now() + StoreGate::kLimit;
    while (sam.Protocol().DataEvent().IsSet() && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    gate.Open();
  });
  const auto start = Clock::now();
  const int n = sam.GetData(out);
  const auto elapsed = Clock::now() - start;
  releaser.join();
  ASSERT_EQ(n, 1) << "the frame stored while GetData waited comes with the same call";
  EXPECT_EQ(out[0].Wave[WAVE_LANK], 44);
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000)) << "released by the wait's reset, not by the gate's limit";
  EXPECT_EQ(sam.Protocol().RingCount(), 0);
}

TEST_F(SamThreadTest, DataWaitEndsAfter500MsAndTheBytesComeWithTheNextCall) {
  nel::test::PortSeams::Hook(sam.Protocol(), &StoreGate::Hook, &gate);
  const int32_t t[4] = {-1, 2, -3, 4};
  peer.Send(nel::test::DataRawFrame(9, 10, t));
  ASSERT_TRUE(gate.WaitHeld());
  ASSERT_EQ(sam.Protocol().WriteTotal() - sam.Protocol().ReadTotal(), 19);
  ASSERT_EQ(sam.Protocol().RingCount(), 0);
  const auto start = Clock::now();
  const int n = sam.GetData(out);
  const auto elapsed = Clock::now() - start;
  gate.Open();
  EXPECT_EQ(n, 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(TSamThread::kDataWaitMs - 20)) << "it waits for the data event";
  // Bounded: a wait without end would last until the gate opens by itself.
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
  // Nothing was taken: the held bytes arrive whole with the next call.
  const auto end = Clock::now() + std::chrono::seconds(3);
  while (sam.Protocol().RingCount() < 19 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(sam.GetData(out), 1);
  EXPECT_EQ(out[0].Wave[WAVE_RBRA], -1);
  EXPECT_EQ(out[0].Wave[WAVE_LANK], 4);
}

// A full ring drops what the reader reads next; the frame it cut stays open
// until the next code byte, and the frames after that decode whole.
TEST_F(SamThreadTest, FullRingDropsBytesAndTheFrameStreamResynchronises) {
  const int32_t before[4] = {1000, 2000, 3000, 4000};
  const Bytes old = nel::test::DataRawFrame(1, 2, before);
  Bytes flood;
  for (int i = 0; i < 5500; ++i) flood.insert(flood.end(), old.begin(), old.end());  // 104500 bytes
  peer.Send(flood);
  // Wait until the reader has read everything: what did not fit was dropped.
  int32_t most = 0;
  for (auto end = Clock::now() + std::chrono::seconds(5), quiet = Clock::now(); Clock::now() < end;) {
    most = std::max(most, sam.Protocol().RingCount());
    if (peer.Unread() != 0) quiet = Clock::now();
    if (Clock::now() - quiet > std::chrono::milliseconds(100)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(peer.Unread(), 0);
  EXPECT_EQ(most, TSerialPort::kRingBytes);
  EXPECT_EQ(sam.Protocol().RingCount(), TSerialPort::kRingBytes);
  EXPECT_EQ(sam.Protocol().WriteTotal(), TSerialPort::kRingBytes) << "the bytes beyond the ring are dropped";

  // 102400 bytes: 5389 whole frames and 9 bytes of the next.
  int frames = 0;
  while (sam.Protocol().RingCount() > 0) {
    const int n = sam.GetData(out);
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i].Wave[WAVE_LANK], 4000) << frames + i;
    frames += n;
  }
  EXPECT_EQ(frames, 5389);

  // The line goes on in the middle of a later frame (no code byte in its last
  // five bytes), then whole frames follow.
  const int32_t after[4] = {-7, 8, -9, 10};
  const Bytes next = nel::test::DataRawFrame(3, 4, after);
  Bytes stream(old.end() - 5, old.end());
  for (int i = 0; i < 40; ++i) stream.insert(stream.end(), next.begin(), next.end());
  Deliver(stream);
  frames = 0;
  for (int n; (n = sam.GetData(out)) > 0; frames += n)
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(out[i].Wave[WAVE_RBRA], -7) << "a frame glued from the cut one";
      ASSERT_EQ(out[i].Wave[WAVE_LANK], 10);
    }
  EXPECT_EQ(frames, 40);
}

// The conversion as stated: double averages over a growing, then a 200-frame
// window, the single-precision 0.005, then count * Slope + Offset as a float.
float ExpectedPressure(const std::vector<int32_t>& values, size_t upto, tagAD_FORCE_CONVERT c) {
  const size_t k = upto;  // frames before this one
  const size_t first = k < 200 ? 0 : k - 199;
  int32_t sum = 0;
  for (size_t i = first; i <= k; ++i) sum += values[i];
  const double average = k < 200 ? static_cast<double>(sum) / static_cast<double>(k + 1)
                                 : static_cast<double>(sum) * static_cast<double>(0.005f);
  const float p = static_cast<float>(average * c.Slope + c.Offset);
  return p >= 0.0f ? p : 0.0f;
}

TEST_F(SamThreadTest, PressureIsTheMovingAverageConvertedWithTheChannelCoefficients) {
  tagAD_FORCE_CONVERT set[6];
  for (int c = 0; c < 6; ++c) set[c] = {0.0003f + 0.00001f * static_cast<float>(c), -10.0f + static_cast<float>(c)};
  sam.SetAD2ForceCoeff(set);
  std::vector<int32_t> values;
  for (int i = 0; i < 450; ++i) values.push_back(200000 + 37 * i + (i % 7) * 1000 - (i % 13) * 777);
  Bytes stream;
  for (int32_t v : values) {
    const int32_t t[4] = {v, v / 2, -v, v + 5};
    const Bytes f = nel::test::DataRawFrame(0, 0, t);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  Deliver(stream);
  size_t index = 0;
  for (int n; (n = sam.GetData(out)) > 0;) {
    for (int f = 0; f < n; ++f, ++index) {
      EXPECT_EQ(out[f].Pressure[0], ExpectedPressure(values, index, set[0])) << index;
      EXPECT_EQ(out[f].Pressure[2], 0.0f);
      EXPECT_EQ(out[f].Pressure[4], 0.0f) << "toe channel 4 follows transducer 2";
    }
  }
  ASSERT_EQ(index, values.size());
  EXPECT_EQ(sam.LastPressure(0), ExpectedPressure(values, values.size() - 1, set[0]));
}

TEST_F(SamThreadTest, ConstantInputGivesItsPressureFromTheFirstFrameAndAfterAClear) {
  tagAD_FORCE_CONVERT one = {0.0003f, -12.5f};
  for (int c = 0; c < 6; ++c) sam.SetAD2ForceCoeff(one, static_cast<tagTYPE_NEL_BPDATA>(c));
  const int32_t v = 1234567;
  const float expected = static_cast<float>(static_cast<double>(v) * one.Slope + one.Offset);
  const int32_t t[4] = {v, v, v, v};
  const Bytes f = nel::test::DataRawFrame(0, 0, t);
  for (int round = 0; round < 2; ++round) {
    Bytes stream;
    for (int i = 0; i < 230; ++i) stream.insert(stream.end(), f.begin(), f.end());
    Deliver(stream);
    int seen = 0;
    for (int n; (n = sam.GetData(out)) > 0; seen += n)
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < 6; ++c) ASSERT_NEAR(out[i].Pressure[c], expected, 1e-3) << seen + i;
    EXPECT_EQ(seen, 230);
    sam.ClearDataBuff();
    EXPECT_EQ(sam.LastPressure(3), 0.0f);
  }
}

// The frame count of the moving average as a long run leaves it: past 2^31 a
// 32-bit count turns negative, names a slot before the history and divides by
// a negative count.
TEST_F(SamThreadTest, MovingAverageHoldsWhereTheFrameCountPassesItsLimits) {
  tagAD_FORCE_CONVERT one = {0.0003f, -12.5f};
  for (int c = 0; c < 6; ++c) sam.SetAD2ForceCoeff(one, static_cast<tagTYPE_NEL_BPDATA>(c));
  const int32_t v = 1234567;
  const float expected =
      static_cast<float>(static_cast<double>(v) * 200 * static_cast<double>(0.005f) * one.Slope + one.Offset);
  const int32_t t[4] = {v, v, v, v};
  const Bytes f = nel::test::DataRawFrame(0, 0, t);
  const auto deliverFrames = [&](int frames) {
    Bytes stream;
    for (int i = 0; i < frames; ++i) stream.insert(stream.end(), f.begin(), f.end());
    Deliver(stream);
    std::vector<tagSAM_DATA> got;
    for (int n; (n = sam.GetData(out)) > 0;) got.insert(got.end(), out, out + n);
    return got;
  };
  ASSERT_EQ(deliverFrames(200).size(), 200u);  // the history is full
  for (const int64_t start : {(int64_t{1} << 31) - 3, (int64_t{1} << 32) - 3}) {
    nel::test::SamSeams::FrameCountAt(sam, start);
    const std::vector<tagSAM_DATA> got = deliverFrames(10);
    ASSERT_EQ(got.size(), 10u);
    for (size_t i = 0; i < got.size(); ++i)
      for (int c = 0; c < 6; ++c) EXPECT_EQ(got[i].Pressure[c], expected) << "from " << start << ", frame " << i;
    EXPECT_EQ(sam.ConvertedFrames(), start + 10);
  }
}

TEST_F(SamThreadTest, NotANumberPressureIsZeroAndBadChannelsAreIgnored) {
  tagAD_FORCE_CONVERT before[6];
  sam.GetAD2ForceCoeff(before);
  for (const auto& c : before) {
    EXPECT_EQ(c.Slope, nel::kInitialCoeff.Slope);
    EXPECT_EQ(c.Offset, nel::kInitialCoeff.Offset);
  }
  sam.SetAD2ForceCoeff({1.0f, 1.0f}, static_cast<tagTYPE_NEL_BPDATA>(6));
  sam.SetAD2ForceCoeff({1.0f, 1.0f}, static_cast<tagTYPE_NEL_BPDATA>(-1));
  sam.SetAD2ForceCoeff(nullptr);
  tagAD_FORCE_CONVERT after[6];
  sam.GetAD2ForceCoeff(after);
  EXPECT_EQ(0, std::memcmp(before, after, sizeof before));

  sam.SetAD2ForceCoeff({std::numeric_limits<float>::quiet_NaN(), 0.0f}, BP_LBRA);
  const int32_t t[4] = {100000, 100000, 100000, 100000};
  Deliver(nel::test::DataRawFrame(0, 0, t));
  ASSERT_EQ(sam.GetData(out), 1);
  EXPECT_EQ(out[0].Pressure[1], 0.0f);
  EXPECT_GT(out[0].Pressure[0], 0.0f);
}

struct SinkRecord {
  std::vector<std::string> texts;
  static void Sink(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char* text, size_t len,
                   void* ctx) {
    static_cast<SinkRecord*>(ctx)->texts.emplace_back(text, len);
  }
};

TEST(SamThreadFiles, SetPathCreatesSixEmptyFilesOrReportsEachFailureInCodePage936) {
  const auto dir = std::filesystem::temp_directory_path() / ("nel_sam_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    TSamThread sam;
    sam.SetPath(dir.string());
    for (const char* name : {"raw.dt", "unpack.dt", "unpack2.dt", "exceptionPop.dt", "unpackPos.dt", "exception.dt"}) {
      ASSERT_TRUE(std::filesystem::exists(dir / name)) << name;
      EXPECT_EQ(std::filesystem::file_size(dir / name), 0u);
    }
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(sam.FileOpen(i));
    sam.CloseFile();
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(sam.FileOpen(i));

    SinkRecord record;
    nel::platform::SetDiagnosticSink(&SinkRecord::Sink, &record);
    sam.SetPath((dir / "missing" / "deeper").string());
    nel::platform::SetDiagnosticSink(nullptr, nullptr);
    ASSERT_EQ(record.texts.size(), 6u);
    // "原始数据文件创建失败!" in code page 936 starts with D4 AD CA BC.
    EXPECT_EQ(record.texts[0].substr(0, 4), std::string("\xD4\xAD\xCA\xBC"));
    EXPECT_EQ(record.texts[0].back(), '!');
    EXPECT_EQ(record.texts[1], record.texts[2]);
    EXPECT_EQ(record.texts[1], record.texts[3]);
    EXPECT_NE(record.texts[4], record.texts[5]);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
