// Calibration against the virtual unit, through the library's real serial
// path: a transducer with an offset or gain error reads true pressures once
// the calibration's coefficients are stored in the unit.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <nel/cuff/pressure_adjust.h>
#include <nel/cuff/zero_pressure_adjust.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/message_queue.h>
#include "result_file_lock.h"
#include "sim/unit_server.h"

namespace {

using nel::platform::MessageQueue;
using nel::sim::SubjectConfig;
using nel::sim::UnitServer;
using nel::sim::VirtualUnit;

constexpr int kPort = 43;

void Quiet(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char*, size_t, void*) {}

// A host on the stepped virtual unit: virtual time moves only when Run
// advances it, and Run hands every frame of that time to its caller.
class SteppedHost {
 public:
  explicit SteppedHost(const SubjectConfig& cfg) : server_(cfg, Options()) {}
  ~SteppedHost() {
    if (timer_) MessageQueue::Current().KillTimer(timer_);
    ctl_.CloseCom();
    server_.Stop();
  }

  void Open() {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
    ASSERT_TRUE(ctl_.SetComPortNo(kPort));
    // Replies are unpacked by the sample stream: commands that wait for one
    // keep this timer running (frames taken meanwhile are not the caller's).
    timer_ = MessageQueue::Current().SetTimer(1, [this] {
      tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
      ctl_.ReadOnceData(frames);
    });
    ctl_.StartADSample(true);
  }

  // Advances `frames` frames and hands each to `each` (false: stop early).
  bool Run(int frames, const std::function<bool(const tagSAM_DATA&)>& each) {
    tagSAM_DATA got[TSamThread::kMaxFramesPerCall];
    for (int done = 0; done < frames;) {
      const int step = std::min(frames - done, 20);
      if (!server_.Advance(step)) return false;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      for (int received = 0; received < step;) {
        const int n = ctl_.ReadOnceData(got);
        if (n == 0) {
          if (std::chrono::steady_clock::now() > deadline) return false;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        for (int i = 0; i < n; ++i) {
          last_ = got[i];
          if (!each(got[i])) return true;
        }
        received += n;
      }
      done += step;
    }
    return true;
  }
  bool Run(int frames) {
    return Run(frames, [](const tagSAM_DATA&) { return true; });
  }

  void Reference(int line, std::optional<double> mmhg) {
    server_.WithUnit([&](VirtualUnit& u) { u.SetReferencePressure(line, mmhg); });
  }
  TnelHardCtl& Ctl() { return ctl_; }
  const tagSAM_DATA& Last() const { return last_; }

 private:
  static UnitServer::Options Options() {
    UnitServer::Options o;
    o.clock = UnitServer::Clock::kStepped;
    o.port = kPort;
    return o;
  }
  UnitServer server_;
  TnelHardCtl ctl_;
  int timer_ = 0;
  tagSAM_DATA last_{};
};

class CalibrationOnUnit : public ::testing::Test {
 protected:
  void SetUp() override { nel::platform::SetDiagnosticSink(&Quiet, nullptr); }
  void TearDown() override { nel::platform::SetDiagnosticSink(nullptr, nullptr); }
};

TEST_F(CalibrationOnUnit, ZeroCalibrationRemovesAnOffsetError) {
  nel::test::ResultFileLock lock;
  ASSERT_TRUE(lock.Held());
  SubjectConfig cfg;
  cfg.transducer[1].offset_error_mmhg = 5.0;
  cfg.transducer[3].offset_error_mmhg = 12.0;  // left ankle, shared by the left toe
  SteppedHost host(cfg);
  ASSERT_NO_FATAL_FAILURE(host.Open());
  ASSERT_TRUE(host.Run(500));
  EXPECT_NEAR(host.Last().Pressure[1], 5.0, 0.1) << "the error shows before calibration";
  EXPECT_NEAR(host.Last().Pressure[5], 12.0, 0.1);

  tagAD_FORCE_CONVERT coeffs[6];
  host.Ctl().GetAD2ForceCoeff(coeffs);
  TnelZeroPressureAdjust zero;
  ASSERT_TRUE(host.Run(12000, [&](const tagSAM_DATA& f) {
    int ad[4] = {f.Wave[2], f.Wave[3], f.Wave[4], f.Wave[5]};
    zero.StartPressureAdjust(ad, nullptr, coeffs, nullptr);
    return !zero.Finished;
  }));
  ASSERT_TRUE(zero.Success);
  EXPECT_EQ(zero.CallCount, 2002) << "a still, open cuff is steady at the first evaluation";
  host.Ctl().SetAD2ForceCoeff(coeffs);

  ASSERT_TRUE(host.Run(400));
  for (int c = 0; c < 6; ++c) EXPECT_NEAR(host.Last().Pressure[c], 0.0, 0.05) << c;

  // The set is in the unit: a new start reads it back.
  host.Ctl().StopADSample();
  host.Ctl().StartADSample(true);
  ASSERT_TRUE(host.Run(400));
  EXPECT_NEAR(host.Last().Pressure[1], 0.0, 0.05);
  EXPECT_NEAR(host.Last().Pressure[5], 0.0, 0.05);
  EXPECT_EQ(host.Ctl().ADForceCoeff[1].Offset, coeffs[1].Offset);
}

TEST_F(CalibrationOnUnit, TwoPointCalibrationRemovesAGainError) {
  SubjectConfig cfg;
  cfg.transducer[0] = {0.04, 0.0};
  cfg.transducer[2] = {-0.03, 2.0};
  SteppedHost host(cfg);
  ASSERT_NO_FATAL_FAILURE(host.Open());
  host.Reference(0, 100.0);
  host.Reference(2, 100.0);
  ASSERT_TRUE(host.Run(400));
  EXPECT_NEAR(host.Last().Pressure[0], 104.0, 0.1) << "the error shows before calibration";
  EXPECT_NEAR(host.Last().Pressure[2], 99.0, 0.1);

  TnelPressureAdjust adj;
  int channels[2] = {0, 2};
  adj.StartPressureAdjust(channels, 2);
  std::vector<typeADJ_RET_STYLE> results;
  ASSERT_TRUE(host.Run(8000, [&](const tagSAM_DATA& f) {
    int ad[2] = {f.Wave[2], f.Wave[4]};
    const typeADJ_RET_STYLE r = adj.PressureAdjustProc(ad);
    if (r == ADJ_NONE) return true;
    results.push_back(r);
    if (r == ADJ_DONE) return false;
    // The unit's calibrator applies the wanted pressure at once.
    const double wanted = r == ADJ_STEP1 ? 100.0 : 200.0;
    host.Reference(0, wanted);
    host.Reference(2, wanted);
    adj.WantedPressureOK();
    return true;
  }));
  ASSERT_EQ(results, (std::vector<typeADJ_RET_STYLE>{ADJ_STEP1, ADJ_STEP2, ADJ_DONE}));

  tagAD_FORCE_CONVERT coeffs[6];
  host.Ctl().GetAD2ForceCoeff(coeffs);
  for (int i = 0; i < 2; ++i) adj.GetAdjustCoeff(&coeffs[channels[i]].Slope, &coeffs[channels[i]].Offset, i);
  coeffs[4] = coeffs[2];
  host.Ctl().SetAD2ForceCoeff(coeffs);

  for (double p : {100.0, 150.0, 200.0}) {
    host.Reference(0, p);
    host.Reference(2, p);
    ASSERT_TRUE(host.Run(400));
    EXPECT_NEAR(host.Last().Pressure[0], p, 0.05) << p;
    EXPECT_NEAR(host.Last().Pressure[2], p, 0.05) << p;
    EXPECT_NEAR(host.Last().Pressure[4], p, 0.05) << p;
  }
}

}  // namespace
