// The processing pass on frames written by the test: the unit is played on a
// pseudo-terminal with packets of chosen values, so the pass's arithmetic can
// be checked exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "sim/device_codec.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;

class FacadePass : public ::testing::Test {
 protected:
  static constexpr int kPort = 146;

  void SetUp() override {
    nel::platform::SetPortPath(kPort, unit.Path());
    ASSERT_TRUE(hb.GetHardCtl()->SetComPortNo(kPort));
  }
  void TearDown() override {
    hb.CloseHardware();
    nel::platform::SetPortPath(kPort, "");
  }

  // Writes `count` packets made by `make`, in chunks the receive ring holds,
  // and runs passes until each chunk has arrived; returns the frames taken.
  int Feed(int count, const std::function<nel::sim::RawFrame(int)>& make) {
    static constexpr int kChunk = 1000;  // 19000 bytes, well inside the ring
    int got = 0;
    for (int first = 0; first < count; first += kChunk) {
      const int end = std::min(count, first + kChunk);
      Bytes bytes;
      for (int i = first; i < end; ++i) {
        const auto p = nel::sim::EncodeDataRaw(make(i));
        bytes.insert(bytes.end(), p.begin(), p.end());
      }
      unit.Send(bytes);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (got < end && std::chrono::steady_clock::now() < deadline) {
        if (hb.CheckData()) {
          got += hb.GetData(static_cast<int*>(nullptr));
        } else {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
    }
    EXPECT_EQ(got, count);
    return got;
  }

  static nel::sim::RawFrame Plain() {
    nel::sim::RawFrame f;
    f.ecg = 2130;
    f.pcg = 2048;
    f.transducer[0] = f.transducer[1] = f.transducer[2] = f.transducer[3] = 40;
    return f;
  }

  PtyPeer unit;
  TnelHardBase hb{0, DATAPROCESS_STANDARD};
};

// Four blocks of 2100 frames; the block holding the lowest minimum loses its
// minimum and the block holding the highest maximum its maximum.
TEST_F(FacadePass, SignalCheckDropsTheExtremeBlocks) {
  hb.SignalCheck_Start();
  int base[8], datum[8];
  hb.SignalCheck_GetADBaseDatum(base, datum);  // before a conclusion: the values in use
  EXPECT_EQ(base[2], 400000);
  EXPECT_EQ(datum[2], 3500);

  // Settling: 4000 frames of a wild value that must not reach the check.
  Feed(4000, [](int) {
    auto f = Plain();
    f.transducer[0] = 900000;
    return f;
  });
  static constexpr int kMin[4] = {0, 10, 20, -50}, kMax[4] = {100, 110, 120, 200};
  Feed(4 * 2100, [](int i) {
    auto f = Plain();
    const int b = i / 2100, j = i % 2100;
    f.transducer[0] = j == 7 ? kMin[b] : j == 1500 ? kMax[b] : 40;
    return f;
  });
  tagHMID_DATA st{};
  hb.GetStatus(&st);
  EXPECT_TRUE(st.SignalCheckEnd);

  hb.SignalCheck_GetADBaseDatum(base, datum);
  EXPECT_EQ(base[2], 60);  // hi (110) + lo (10), halved
  EXPECT_EQ(datum[2], 50);
  // A flat PCG: no amplitude, so its datum becomes 10 and the one used for
  // conversion its floor of 20. The ECG's datum is never measured.
  EXPECT_EQ(base[1], 2048);
  EXPECT_EQ(datum[1], 10);
  EXPECT_EQ(base[0], 2130);
  EXPECT_EQ(datum[0], 665);
  int adBase[8], adDatum[8];
  hb.GetADBaseValue(adBase, adDatum);
  EXPECT_EQ(adDatum[1], 20);
  EXPECT_EQ(adDatum[0], 665);
  hb.SignalCheck_Cancel();
}

TEST_F(FacadePass, GetDataAfterAnEmptyPassReturnsThePreviousPassAgain) {
  Feed(500, [](int i) {
    auto f = Plain();
    f.ecg = static_cast<uint16_t>(2000 + i % 300);
    return f;
  });
  int raw[27 * 8], again[27 * 8];
  const int n = hb.GetData(raw);
  ASSERT_GT(n, 0);
  EXPECT_FALSE(hb.CheckData());
  ASSERT_EQ(hb.GetData(again), n);
  EXPECT_EQ(std::memcmp(raw, again, sizeof(int) * n * 6), 0);
  // The raw values are the unit's counts in wave-list order.
  EXPECT_EQ(raw[(n - 1) * 6 + 0], 2000 + 499 % 300);
  EXPECT_EQ(raw[(n - 1) * 6 + 1], 2048);
  EXPECT_EQ(raw[(n - 1) * 6 + 2], 40);
}

}  // namespace
