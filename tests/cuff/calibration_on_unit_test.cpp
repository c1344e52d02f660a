// Calibration against the virtual unit, through the library's real serial
// path: a transducer with an offset or gain error reads true pressures once
// the calibration's coefficients are stored in the unit.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <nel/cuff/pressure_adjust.h>
#include <nel/cuff/zero_pressure_adjust.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include "result_file_lock.h"
#include "sim/stepped_rig.h"

namespace {

using nel::sim::SteppedLink;
using nel::sim::SteppedOptions;
using nel::sim::SubjectConfig;
using nel::sim::VirtualUnit;

constexpr int kPort = 43;

void Quiet(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char*, size_t, void*) {}

// Holds a line of the unit's calibration fixture at `mmhg` (nullopt releases it).
void Reference(SteppedLink& host, int line, std::optional<double> mmhg) {
  host.server.WithUnit([&](VirtualUnit& u) { u.SetReferencePressure(line, mmhg); });
}

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
  SteppedLink host(cfg, SteppedOptions(kPort));
  ASSERT_TRUE(host.Open()) << host.error;
  ASSERT_TRUE(host.Run(500));
  EXPECT_NEAR(host.last.Pressure[1], 5.0, 0.1) << "the error shows before calibration";
  EXPECT_NEAR(host.last.Pressure[5], 12.0, 0.1);

  tagAD_FORCE_CONVERT coeffs[6];
  host.ctl.GetAD2ForceCoeff(coeffs);
  TnelZeroPressureAdjust zero;
  ASSERT_TRUE(host.Run(12000, [&](const tagSAM_DATA& f) {
    int ad[4] = {f.Wave[2], f.Wave[3], f.Wave[4], f.Wave[5]};
    zero.StartPressureAdjust(ad, nullptr, coeffs, nullptr);
    return !zero.Finished;
  }));
  ASSERT_TRUE(zero.Success);
  EXPECT_EQ(zero.CallCount, 2002) << "a still, open cuff is steady at the first evaluation";
  host.Pumped([&] { host.ctl.SetAD2ForceCoeff(coeffs); });

  ASSERT_TRUE(host.Run(400));
  for (int c = 0; c < 6; ++c) EXPECT_NEAR(host.last.Pressure[c], 0.0, 0.05) << c;

  // The set is in the unit: a new start reads it back.
  host.Pumped([&] {
    host.ctl.StopADSample();
    host.ctl.StartADSample(true);
  });
  ASSERT_TRUE(host.Run(400));
  EXPECT_NEAR(host.last.Pressure[1], 0.0, 0.05);
  EXPECT_NEAR(host.last.Pressure[5], 0.0, 0.05);
  EXPECT_EQ(host.ctl.ADForceCoeff[1].Offset, coeffs[1].Offset);
}

TEST_F(CalibrationOnUnit, TwoPointCalibrationRemovesAGainError) {
  SubjectConfig cfg;
  cfg.transducer[0] = {0.04, 0.0};
  cfg.transducer[2] = {-0.03, 2.0};
  SteppedLink host(cfg, SteppedOptions(kPort));
  ASSERT_TRUE(host.Open()) << host.error;
  Reference(host, 0, 100.0);
  Reference(host, 2, 100.0);
  ASSERT_TRUE(host.Run(400));
  EXPECT_NEAR(host.last.Pressure[0], 104.0, 0.1) << "the error shows before calibration";
  EXPECT_NEAR(host.last.Pressure[2], 99.0, 0.1);

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
    Reference(host, 0, wanted);
    Reference(host, 2, wanted);
    adj.WantedPressureOK();
    return true;
  }));
  ASSERT_EQ(results, (std::vector<typeADJ_RET_STYLE>{ADJ_STEP1, ADJ_STEP2, ADJ_DONE}));

  tagAD_FORCE_CONVERT coeffs[6];
  host.ctl.GetAD2ForceCoeff(coeffs);
  for (int i = 0; i < 2; ++i) adj.GetAdjustCoeff(&coeffs[channels[i]].Slope, &coeffs[channels[i]].Offset, i);
  coeffs[4] = coeffs[2];
  host.Pumped([&] { host.ctl.SetAD2ForceCoeff(coeffs); });

  for (double p : {100.0, 150.0, 200.0}) {
    Reference(host, 0, p);
    Reference(host, 2, p);
    ASSERT_TRUE(host.Run(400));
    EXPECT_NEAR(host.last.Pressure[0], p, 0.05) << p;
    EXPECT_NEAR(host.last.Pressure[2], p, 0.05) << p;
    EXPECT_NEAR(host.last.Pressure[4], p, 0.05) << p;
  }
}

}  // namespace
