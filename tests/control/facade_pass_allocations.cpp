// Heap allocations of the façade's processing pass, in every mode, counted on
// the host's thread only.
//
// This executable replaces the global operator new and delete (so it is built
// on its own): every form allocates with malloc (which the sanitizers'
// runtimes intercept) and counts while the calling thread's flag is set; one
// counted allocation can be made to fail. The
// flag is set around CheckData only, so neither the test's own bookkeeping nor
// the reader's or the virtual unit's threads are counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <nel/bp/bpv_check.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/platform/last_error.h>
#include "../common/facade_rig.h"

namespace {

thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tFailAt = -1;  // the counted allocation that fails, -1 none

// Counts a counted allocation; true when it is the one made to fail.
bool CountAndFail() {
  if (!tCounting) return false;
  return tAllocations++ == tFailAt;
}

void* Allocate(std::size_t n) {
  if (CountAndFail()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

void* AllocateAligned(std::size_t n, std::align_val_t a) {
  if (CountAndFail()) throw std::bad_alloc();
  const std::size_t align = std::max(static_cast<std::size_t>(a), sizeof(void*));
  void* p = nullptr;
  if (posix_memalign(&p, align, n == 0 ? 1 : n) != 0) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(n, a);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(n, a);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using nel::test::FacadeRig;

// What the passes of one run did.
struct Audit {
  long passes = 0;
  bool lost = false;              // frames of a step did not arrive
  std::vector<long> allocating;   // passes that allocated
  std::vector<long> counts;       // their allocation counts
  std::vector<long> calculating;  // passes in which some cuff's BP calculation ran

  std::string Describe() const {
    std::string s = "passes with allocations:";
    for (size_t i = 0; i < allocating.size(); ++i)
      s += " #" + std::to_string(allocating[i]) + "(" + std::to_string(counts[i]) + ")";
    s += "; passes with a calculation:";
    for (long p : calculating) s += " #" + std::to_string(p);
    return s;
  }
};

// A cuff's recogniser latches Finished when it reports the end of the
// envelope; the sequencer then runs the calculation in the same pass. A failed
// calculation starts a new attempt (and re-initialises the recogniser) at
// once, which the attempt count shows.
struct CuffMark {
  bool recognised = false;
  int16_t attempts = 0;
  bool finished = false;
};

CuffMark Mark(TnelHardBase& hb, int k) {
  TnelBPVCheck* b = hb.GetBPVCheck(k);
  return {b->GetRecogn() != nullptr && b->GetRecogn()->Finished, b->GetAttempts(), b->IsFinished()};
}

// Runs the passes a step of the unit produced, each with the counter on.
int CountedDrain(FacadeRig& rig, Audit& audit) {
  int total = 0;
  for (;;) {
    CuffMark before[TnelHardBase::kMaxCuffs];
    for (int k = 0; k < TnelHardBase::kMaxCuffs; ++k) before[k] = Mark(rig.hb, k);
    tAllocations = 0;
    tCounting = true;
    const bool got = rig.hb.CheckData();
    tCounting = false;
    const long allocations = tAllocations;
    if (!got) break;
    ++audit.passes;
    total += rig.hb.GetData(static_cast<int*>(nullptr));
    if (allocations > 0) {
      audit.allocating.push_back(audit.passes);
      audit.counts.push_back(allocations);
    }
    for (int k = 0; k < TnelHardBase::kMaxCuffs; ++k) {
      const CuffMark after = Mark(rig.hb, k);
      if ((after.recognised && !before[k].recognised) || (after.finished && !before[k].finished) ||
          after.attempts > before[k].attempts) {
        audit.calculating.push_back(audit.passes);
        break;
      }
    }
  }
  return total;
}

// Advances the unit up to `seconds` of virtual time in the rig's steps,
// draining every step completely, until `until` holds; true if it did.
// Frames that do not arrive in time set audit.lost.
template <class Until>
bool Drive(FacadeRig& rig, Audit& audit, double seconds, Until until) {
  const long frames = static_cast<long>(seconds * 1000);
  for (long done = 0; done < frames; done += FacadeRig::kStepFrames) {
    if (!nel::sim::Delivered(rig.RunWith(FacadeRig::kStepFrames, [&] { return CountedDrain(rig, audit); }))) {
      audit.lost = true;
      return false;
    }
    if (until()) return true;
  }
  return false;
}

void Drive(FacadeRig& rig, Audit& audit, double seconds) {
  Drive(rig, audit, seconds, [] { return false; });
}

void OpenAll(FacadeRig& rig) {
  ASSERT_TRUE(rig.started) << rig.error;
  rig.hb.SetDetectCategory(DETECT_ALL);
  ASSERT_TRUE(rig.Open(true));
}

using nel::sim::QuietSubject;

// Keeps an allocation the optimiser could otherwise remove.
template <class T>
T* Escape(T* p) {
  asm volatile("" : : "r"(p) : "memory");
  return p;
}

// A façade built while memory runs out: whichever of its allocations fails,
// no exception leaves the constructor (std::bad_alloc used to cross the
// library's boundary), and a façade without its parts opens nothing and says
// why instead of using what is missing.
TEST(FacadePassAllocations, ConstructorSurvivesAnyAllocationFailing) {
  tAllocations = 0;
  tCounting = true;
  { TnelHardBase whole(0, DATAPROCESS_STANDARD); }
  tCounting = false;
  const long made = tAllocations;
  ASSERT_GT(made, 10);
  int crippled = 0;
  // Allocation 0 is make_unique's own, for the object; then the constructor's.
  for (long k = 1; k <= made; ++k) {
    tAllocations = 0;
    tFailAt = k;
    tCounting = true;
    std::unique_ptr<TnelHardBase> hb;
    try {
      hb = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD);
    } catch (...) {
      tCounting = false;
      tFailAt = -1;
      ADD_FAILURE() << "an exception left the constructor when allocation " << k << " failed";
      continue;
    }
    tCounting = false;
    tFailAt = -1;
    if (hb->GetHardCtl() == nullptr) {
      ++crippled;
      nel::ClearLastError();
      EXPECT_FALSE(hb->OpenHardware(0x80, 1)) << k;
      EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNoMemory) << k;
      EXPECT_FALSE(hb->CheckData()) << k;
      bool all[6] = {true, true, true, true, true, true};
      EXPECT_FALSE(hb->BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 200, all, 70)) << k;
    }
  }
  EXPECT_GT(crippled, 0) << "no failure left the façade without its hardware control";
}

// The counter itself: allocations on this thread are seen, those of another
// thread only by that thread's own counter.
TEST(FacadePassAllocations, CounterSeesOnlyTheCallingThread) {
  tAllocations = 0;
  tCounting = true;
  auto* own = Escape(new std::vector<int>(100));
  std::thread other([] { delete Escape(new int(1)); });
  tCounting = false;
  other.join();
  delete own;
  EXPECT_EQ(tAllocations, 3);  // the vector, its elements, the thread's start state

  tAllocations = 0;
  long seen = -1;
  std::thread([&seen] {
    tCounting = true;
    delete Escape(new int(2));
    delete[] Escape(new (std::nothrow) char[16]);
    tCounting = false;
    seen = tAllocations;
  }).join();
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(tAllocations, 0);
}

TEST(FacadePassAllocations, StreamingSignalCheckHoldAndWaveRecordAllocateNothing) {
  FacadeRig rig(QuietSubject());
  OpenAll(rig);
  if (HasFatalFailure()) return;
  Audit audit;
  Drive(rig, audit, 5.0);  // idle streaming

  rig.hb.SignalCheck_Start();
  ASSERT_TRUE(Drive(rig, audit, 20.0, [&] { return rig.Status().SignalCheckEnd; }));
  rig.hb.SignalCheck_Cancel();

  rig.hb.FixPressure_Start(60);
  ASSERT_TRUE(Drive(rig, audit, 40.0, [&] { return rig.Status().FixPressureEnd; }));
  Drive(rig, audit, 1.0);  // the established hold
  rig.hb.FixPressure_Cancel(false);
  ASSERT_TRUE(rig.hb.WaveRecord_Start());
  ASSERT_TRUE(Drive(rig, audit, 25.0, [&] { return rig.Status().WaveRecordEnd; }));
  int count = 0;
  ASSERT_NE(rig.hb.WaveRecord_DataAssign(&count), nullptr);
  EXPECT_EQ(count, TnelHardBase::kWaveRecordCapacity);
  rig.hb.CancelAllProcess();
  Drive(rig, audit, 1.0);

  EXPECT_GT(audit.passes, 45000 / 27);
  EXPECT_FALSE(audit.lost);
  EXPECT_TRUE(audit.allocating.empty()) << audit.Describe();
}

TEST(FacadePassAllocations, CVRRRecordingAllocatesNothing) {
  FacadeRig rig(QuietSubject());
  OpenAll(rig);
  if (HasFatalFailure()) return;
  Audit audit;
  rig.hb.CVRRCheck_Start(TnelHardBase::kCVRRMinLength);
  ASSERT_TRUE(Drive(rig, audit, 40.0, [&] { return rig.Status().CVRRCheckEnd; }));
  EXPECT_EQ(rig.hb.CVRRCheck_GetCurrSavedDataLen(), TnelHardBase::kCVRRMinLength);
  EXPECT_GT(audit.passes, 31000 / 27);
  EXPECT_FALSE(audit.lost);
  EXPECT_TRUE(audit.allocating.empty()) << audit.Describe();
}

struct ModeCase {
  tagTYPE_BPMEASUREMODE mode;
  double maxSeconds;
};

class FacadePassAllocationsBP : public ::testing::TestWithParam<ModeCase> {};

// A whole four-cuff measurement and the passes after its end: every cuff's
// calculation runs in some pass, and no pass allocates, those included (the
// calculation keeps its envelope on the stack).
TEST_P(FacadePassAllocationsBP, MeasurementAllocatesInNoPass) {
  FacadeRig rig(QuietSubject());
  OpenAll(rig);
  if (HasFatalFailure()) return;
  Audit audit;
  bool sel[6] = {true, true, true, true, false, false};
  ASSERT_TRUE(rig.hb.BPMeasure_Start(GetParam().mode, 250, sel, 70));
  ASSERT_TRUE(Drive(rig, audit, GetParam().maxSeconds, [&] { return rig.Status().BPMeasureEnd; }));
  Drive(rig, audit, 1.0);
  rig.hb.BPMeasure_Cancel();
  Drive(rig, audit, 1.0);

  const tagHMID_DATA st = rig.Status();
  for (int k = 0; k < 4; ++k) EXPECT_GT(st.BPResult[k].SBP, 0) << k;
  // One calculation per cuff at least; a simultaneous run may end two in a pass.
  EXPECT_GE(audit.calculating.size(), GetParam().mode == BPMEASURE_SIMULTANEOUS ? 1u : 4u) << audit.Describe();
  RecordProperty("passes", std::to_string(audit.passes) + "; " + audit.Describe());
  EXPECT_FALSE(audit.lost);
  EXPECT_TRUE(audit.allocating.empty()) << audit.Describe();
}

INSTANTIATE_TEST_SUITE_P(Modes, FacadePassAllocationsBP,
                         ::testing::Values(ModeCase{BPMEASURE_SIMULTANEOUS, 90}, ModeCase{BPMEASURE_SEQUENTIAL, 300},
                                           ModeCase{BPMEASURE_RIGHT_THEN_LEFT, 180}),
                         [](const auto& param) {
                           switch (param.param.mode) {
                             case BPMEASURE_SIMULTANEOUS: return std::string("Simultaneous");
                             case BPMEASURE_SEQUENTIAL: return std::string("Sequential");
                             default: return std::string("RightThenLeft");
                           }
                         });

// Two checks of the exercise protocol: the second starts inside a pass.
TEST(FacadePassAllocations, ExerciseProtocolAllocatesNothing) {
  FacadeRig rig(QuietSubject());
  OpenAll(rig);
  if (HasFatalFailure()) return;
  Audit audit;
  rig.hb.ExerciseStress_Start(nel::sim::PausedExercise(2, 3));
  ASSERT_TRUE(Drive(rig, audit, 200.0, [&] { return rig.Status().ExerciseEnd; }));
  EXPECT_EQ(rig.hb.ExerciseStress_GetCurrChkNo(), 2);
  rig.hb.ExerciseStress_Cancel();
  Drive(rig, audit, 1.0);
  EXPECT_GE(audit.calculating.size(), 2u) << audit.Describe();
  RecordProperty("passes", std::to_string(audit.passes) + "; " + audit.Describe());
  EXPECT_FALSE(audit.lost);
  EXPECT_TRUE(audit.allocating.empty()) << audit.Describe();
}

}  // namespace
