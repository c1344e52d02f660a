// Cuff safety end to end: a table of faults on the virtual unit over the real
// serial path. Each row drives the façade into a fault, after which the host
// only polls, as one that never cancels would. For every row: the highest line
// pressure from the row's start to its end stays at or below the ceiling (the
// measurement's maximum plus the monitor's margin; the unit's true pressure may
// pass it by the lag of the line reading the monitor acts on, at most
// kReadingLagMmHg), every line is below 15 mmHg
// within 10 s of unit time after the library's stop, and after that stop the
// unit receives no pump start. The unit's own protections (firmware ceiling,
// command watchdog) are switched off, so that only the library acts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <nel/link/hard_ctl.h>
#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

constexpr double kEmptyMmHg = 15.0;
constexpr double kDeflateWithinS = 10.0;
// The line reading is the unit's 200-frame mean: 0.1 s behind a cuff that
// fills at the pump's full rate.
constexpr double kReadingLagMmHg = 2.0;

double HighestLine(FacadeRig& rig) {
  return rig.server.WithUnit([](nel::sim::VirtualUnit& u) {
    double m = 0;
    for (int l = 0; l < 4; ++l) m = std::max(m, u.LinePressure(l));
    return m;
  });
}

nel::sim::UnitStats UnitStats(FacadeRig& rig) {
  return rig.server.WithUnit([](nel::sim::VirtualUnit& u) { return u.Stats(); });
}

int64_t UnitFrame(FacadeRig& rig) {
  return rig.server.WithUnit([](nel::sim::VirtualUnit& u) { return u.Frame(); });
}

// A cuff's status, read by value (the field is packed at 2-byte alignment).
int32_t StatusOf(const tagHMID_DATA& s, int k) { return s.BPResult[k].Status; }

bool Stopped(FacadeRig& rig) { return rig.hb.GetSafetyReport().Reason != SAFETY_NONE; }

// Steps the unit while its frames do not reach the host (silent, hung up, or
// the port closed): 20 frames per `paceMs` of wall time, passes after each
// step, until `until` holds or `frames` have passed. The silence watch runs on
// the wall clock, hence the pace (20 ms: the unit's own speed).
bool StepPaced(FacadeRig& rig, long frames, int paceMs, const std::function<bool()>& until = nullptr) {
  for (long done = 0; done < frames; done += FacadeRig::kStepFrames) {
    rig.server.Advance(FacadeRig::kStepFrames, 100);
    rig.DrainAll();
    if (rig.on_pass) rig.on_pass(0);
    if (until && until()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
  }
  return until == nullptr;
}

struct Row {
  const char* name;
  double ceiling;  // highest pressure allowed on any line during the row, mmHg
  bool stop;       // the library's safety monitor stops the pumps (else: a normal end)
  bool linkFault;  // frames stop reaching the host after the fault
  std::function<void(nel::sim::SubjectConfig&)> subject;
  // Runs up to the moment the library has acted; false if it never did.
  std::function<bool(FacadeRig&)> drive;
  // What the host reads afterwards.
  std::function<void(FacadeRig&)> check;
};
// Test names show the row's name, not its bytes.
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

bool Open(FacadeRig& rig) { return rig.Open(true); }

bool StartFourCuffs(FacadeRig& rig, tagTYPE_BPMEASUREMODE mode, int maxPressure) {
  bool sel[6] = {true, true, true, true, false, false};
  return Open(rig) && rig.hb.BPMeasure_Start(mode, maxPressure, sel, 70);
}

// Four cuffs measured with a maximum of 100 mmHg, below the subject's systolic
// pressures: the first cuff to reach it ends the measurement.
std::function<bool(FacadeRig&)> OverPressureIn(tagTYPE_BPMEASUREMODE mode) {
  return [mode](FacadeRig& rig) {
    return StartFourCuffs(rig, mode, 100) && rig.RunUntil(120, [&] { return Stopped(rig); });
  };
}

// The host polls on for 5 s: the end and every cuff's outcome stay readable.
void ExpectEndLatched(FacadeRig& rig, const char* statuses) {
  const tagHMID_DATA first = rig.Status();
  ASSERT_TRUE(rig.Run(5000));
  const tagHMID_DATA later = rig.Status();
  EXPECT_TRUE(later.BPMeasureEnd);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(StatusOf(later, k), StatusOf(first, k)) << "position " << k;
    if (statuses[k] == '?') continue;
    if (statuses[k] == 'x') {
      EXPECT_TRUE(later.BPResult[k].Status == BPVSTA_OVERPRESSURE || later.BPResult[k].Status == BPVSTA_STOPPED)
          << "position " << k << " status " << later.BPResult[k].Status;
    } else {
      EXPECT_EQ(StatusOf(later, k), statuses[k] - '0') << "position " << k;
    }
  }
}

bool HoldEstablished(FacadeRig& rig, int pressure) {
  if (!Open(rig)) return false;
  rig.hb.FixPressure_Start(pressure);
  return rig.RunUntil(40, [&] { return rig.Status().FixPressureEnd; });
}

bool CuffsAbove(FacadeRig& rig, double mmHg) {
  return rig.RunUntil(60, [&] { return HighestLine(rig) > mmHg; });
}

const Row kRows[] = {
    {"over-pressure, simultaneous", 110, true, false, nullptr, OverPressureIn(BPMEASURE_SIMULTANEOUS),
     [](FacadeRig& rig) {
       EXPECT_EQ(rig.hb.GetSafetyReport().Reason, SAFETY_OVERPRESSURE);
       ExpectEndLatched(rig, "xxxx");
       int over = 0;
       for (int k = 0; k < 4; ++k) over += rig.Status().BPResult[k].Status == BPVSTA_OVERPRESSURE;
       EXPECT_GE(over, 1);
     }},
    {"over-pressure, sequential", 110, true, false, nullptr, OverPressureIn(BPMEASURE_SEQUENTIAL),
     [](FacadeRig& rig) { ExpectEndLatched(rig, "6777"); }},
    {"over-pressure, right then left", 110, true, false, nullptr, OverPressureIn(BPMEASURE_RIGHT_THEN_LEFT),
     [](FacadeRig& rig) { ExpectEndLatched(rig, "x7x7"); }},
    {"over-pressure, exercise protocol", 110, true, false, nullptr,
     [](FacadeRig& rig) {
       if (!Open(rig)) return false;
       tagExerciseStressConfig cfg = nel::sim::PausedExercise(3, 2);
       cfg.MaxPressure = 100;
       rig.hb.ExerciseStress_Start(cfg);
       return rig.RunUntil(120, [&] { return Stopped(rig); });
     },
     [](FacadeRig& rig) {
       ASSERT_TRUE(rig.RunUntil(1, [&] { return rig.Status().ExerciseEnd; }));
       // No further check starts however long the host waits.
       ASSERT_TRUE(rig.Run(10000));
       tagExerciseStressRec rec{};
       ASSERT_TRUE(rig.hb.ExerciseStress_GetResult(&rec));
       EXPECT_EQ(rec.CheckNum, 1);
     }},
    {"over-pressure in a hold (a pump left running)", 80, true, false, nullptr,
     [](FacadeRig& rig) {
       if (!HoldEstablished(rig, 60)) return false;
       rig.hb.GetHardCtl()->StartInflate(9000, BP_LBRA, 0);
       return rig.RunUntil(60, [&] { return Stopped(rig); });
     },
     [](FacadeRig& rig) {
       const tagSAFETY_REPORT r = rig.hb.GetSafetyReport();
       EXPECT_EQ(r.Reason, SAFETY_OVERPRESSURE);
       EXPECT_EQ(r.Line, 1);
       EXPECT_FLOAT_EQ(r.Ceiling, 80.0f);
     }},
    {"host waits without cancelling", 260, false, false, nullptr,
     [](FacadeRig& rig) {
       return StartFourCuffs(rig, BPMEASURE_SIMULTANEOUS, 250) &&
              rig.RunUntil(120, [&] { return rig.Status().BPMeasureEnd; });
     },
     [](FacadeRig& rig) {
       ExpectEndLatched(rig, "1111");
       EXPECT_GT(rig.Status().BPResult[0].SBP, 0);
     }},
    {"hold, then the cuffs left inflated: time limit", 80, true, false, [](nel::sim::SubjectConfig&) {},
     [](FacadeRig& rig) {
       if (!HoldEstablished(rig, 60)) return false;
       rig.hb.FixPressure_Cancel(false);
       return rig.RunUntil(200, [&] { return Stopped(rig); });
     },
     [](FacadeRig& rig) {
       const tagSAFETY_REPORT r = rig.hb.GetSafetyReport();
       EXPECT_EQ(r.Reason, SAFETY_TIME_LIMIT);
       EXPECT_NEAR(r.Seconds, 180.0, 0.01);
     }},
    // The recogniser's data limit ends the measurement before the monitor's 180 s.
    {"a weak pump: the measurement ends in time", 260, false, false,
     [](nel::sim::SubjectConfig& s) { s.pump.qmax_ml_s = 1.5; },
     [](FacadeRig& rig) {
       return StartFourCuffs(rig, BPMEASURE_SIMULTANEOUS, 250) &&
              rig.RunUntil(260, [&] { return rig.Status().BPMeasureEnd; });
     },
     [](FacadeRig& rig) {
       const tagHMID_DATA st = rig.Status();
       for (int k = 0; k < 4; ++k) {
         EXPECT_TRUE(st.BPResult[k].Status == BPVSTA_OK || st.BPResult[k].Status == BPVSTA_OVERTIME) << k;
       }
     }},
    {"CloseHardware during a measurement", 260, true, true, nullptr,
     [](FacadeRig& rig) {
       if (!StartFourCuffs(rig, BPMEASURE_SIMULTANEOUS, 250) || !CuffsAbove(rig, 60)) return false;
       rig.hb.CloseHardware();
       return true;
     },
     [](FacadeRig& rig) { EXPECT_EQ(StatusOf(rig.Status(), 0), BPVSTA_STOPPED); }},
    {"CloseHardware during a hold", 80, true, true, nullptr,
     [](FacadeRig& rig) {
       if (!HoldEstablished(rig, 60)) return false;
       rig.hb.CloseHardware();
       return true;
     },
     nullptr},
    {"the unit falls silent mid-inflation", 260, true, true, nullptr,
     [](FacadeRig& rig) {
       if (!StartFourCuffs(rig, BPMEASURE_SIMULTANEOUS, 250) || !CuffsAbove(rig, 60)) return false;
       rig.hb.SetSilenceLimitMs(nel::cuff::CuffSafetyMonitor::kSilenceMs);  // the default a host has
       rig.server.WithUnit([](nel::sim::VirtualUnit& u) {
         u.StartFault({nel::sim::FaultEvent::kSilence, 0, 60, 0, 0});
       });
       return StepPaced(rig, 8000, 20, [&] { return Stopped(rig); });
     },
     [](FacadeRig& rig) {
       EXPECT_EQ(rig.hb.GetSafetyReport().Reason, SAFETY_UNIT_SILENT);
       EXPECT_TRUE(rig.hb.DeviceLost());
       EXPECT_EQ(rig.hb.SilenceLimitMs(), 2000);
       const tagHMID_DATA st = rig.Status();
       EXPECT_TRUE(st.BPMeasureEnd);
       for (int k = 0; k < 4; ++k) EXPECT_EQ(StatusOf(st, k), BPVSTA_STOPPED) << k;
     }},
    {"the unit hangs up mid-inflation", 260, true, true, nullptr,
     [](FacadeRig& rig) {
       if (!StartFourCuffs(rig, BPMEASURE_SIMULTANEOUS, 250) || !CuffsAbove(rig, 60)) return false;
       rig.server.Hangup(2.0);
       return StepPaced(rig, 8000, 20, [&] { return Stopped(rig); });
     },
     [](FacadeRig& rig) { EXPECT_EQ(rig.hb.GetSafetyReport().Reason, SAFETY_DEVICE_LOST); }},
};

class CuffSafetyE2E : public ::testing::TestWithParam<Row> {};

TEST_P(CuffSafetyE2E, EveryCuffEmptiesAndNoPumpStartsAfterTheFault) {
  const Row& row = GetParam();
  nel::sim::SubjectConfig subject = nel::sim::QuietSubject();
  subject.firmware.ceiling_mmhg = 400;
  subject.firmware.watchdog_s = 3600;
  if (row.subject) row.subject(subject);
  FacadeRig rig(subject);
  double peak = 0;
  int64_t aboveSince = -1, longestAbove = 0;
  rig.on_pass = [&](int) {
    const double high = HighestLine(rig);
    peak = std::max(peak, high);
    const int64_t frame = UnitFrame(rig);
    if (high <= kEmptyMmHg) {
      aboveSince = -1;
    } else if (aboveSince < 0) {
      aboveSince = frame;
    } else {
      longestAbove = std::max(longestAbove, frame - aboveSince);
    }
  };
  ASSERT_TRUE(row.drive(rig)) << "the library never acted";

  const int64_t stopFrame = UnitFrame(rig);
  double emptyAfter = -1;
  auto watchEmpty = [&] {
    if (emptyAfter < 0 && HighestLine(rig) < kEmptyMmHg)
      emptyAfter = static_cast<double>(UnitFrame(rig) - stopFrame) / 1000.0;
    return emptyAfter >= 0;
  };
  // The link faults are seen on the wall clock (a hung-up line reopens after
  // 2 s of unit time): the unit runs at its own speed until every line is empty.
  const long tailFrames = static_cast<long>((kDeflateWithinS + 1) * 1000);
  if (row.linkFault) {
    StepPaced(rig, tailFrames, 20, watchEmpty);
  } else {
    rig.RunUntil(kDeflateWithinS + 1, watchEmpty);
  }
  const nel::sim::UnitStats settled = UnitStats(rig);
  if (!row.linkFault) {
    ASSERT_TRUE(rig.Run(2000));
  }
  const nel::sim::UnitStats end = UnitStats(rig);
  std::printf("[ safety   ] %-46s peak %6.1f mmHg, %6.1f s above 15 mmHg, below 15 mmHg %5.2f s after the %s\n",
              row.name, peak, static_cast<double>(longestAbove) / 1000.0, emptyAfter, row.stop ? "stop" : "end");

  EXPECT_LE(peak, row.ceiling + kReadingLagMmHg);
  // 180 s above 15 mmHg at most, and the time the cuffs then take to empty.
  EXPECT_LE(static_cast<double>(longestAbove) / 1000.0, 180.0 + kDeflateWithinS);
  EXPECT_GE(emptyAfter, 0.0) << "a line still above 15 mmHg " << kDeflateWithinS + 1 << " s after the stop";
  EXPECT_LE(emptyAfter, kDeflateWithinS);
  if (row.stop) {
    EXPECT_GT(end.all_off_commands, 0);
    EXPECT_EQ(end.pump_on_since_all_off, 0) << "a pump started after every pump was stopped";
  }
  EXPECT_EQ(end.pump_on_commands, settled.pump_on_commands) << "a pump started after the end";
  if (row.check) row.check(rig);
}

INSTANTIATE_TEST_SUITE_P(Faults, CuffSafetyE2E, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& param) {
                           std::string n;
                           for (const char* c = param.param.name; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) n += *c;
                           return n;
                         });

}  // namespace
