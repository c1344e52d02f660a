// The façade in this process: a virtual unit (or frames written by the test)
// wired to it without a line, so every pass falls on the same frames. Host
// misuse, the assembly of every mode's results, and the heap allocations of
// the processing passes, counted on this thread around CheckData only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <nel/control/hard_base.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>
#include "sim/device_codec.h"
#include "sim/stepped_rig.h"
#include "sim/virtual_unit.h"

namespace {
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tFailAt = -1;  // the counted allocation made to fail, -1 none
void* Allocate(std::size_t n) {
  if (tCounting && tAllocations++ == tFailAt) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* AllocateAligned(std::size_t n, std::align_val_t a) {
  if (tCounting && tAllocations++ == tFailAt) throw std::bad_alloc();
  void* p = nullptr;
  if (posix_memalign(&p, std::max(static_cast<std::size_t>(a), sizeof(void*)), n == 0 ? 1 : n) != 0)
    throw std::bad_alloc();
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
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(n, a);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t& t) noexcept {
  return operator new(n, a, t);
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

void ToUnit(const unsigned char* bytes, int n, void* unit) {
  if (unit) static_cast<nel::sim::VirtualUnit*>(unit)->Receive(bytes, static_cast<size_t>(n));
}

// Hands `n` bytes to the façade as its reader would, in pieces its receive
// ring takes, and runs passes after each until one yields nothing, counting
// their allocations; `pass` runs after each pass with its frame count.
long Passes(TnelHardBase& hb, const uint8_t* bytes, size_t n, long& allocations, const std::function<void(int)>& pass) {
  long taken = 0;
  for (size_t at = 0; at < n;) {
    const int m = static_cast<int>(std::min<size_t>(TSamThread::kStagingBytes, n - at));
    hb.GetHardCtl()->GetSamThread()->Protocol().InjectReceived(bytes + at, m);
    at += static_cast<size_t>(m);
    for (;;) {
      tAllocations = 0;
      tCounting = true;
      const bool got = hb.CheckData();
      tCounting = false;
      allocations += tAllocations;
      if (!got) break;
      const int k = hb.GetData(static_cast<int*>(nullptr));
      taken += k;
      if (pass) pass(k);
    }
  }
  return taken;
}

// A façade and the virtual unit in this thread.
struct Host {
  nel::sim::VirtualUnit unit;
  TnelHardBase hb{0, DATAPROCESS_STANDARD};
  long frames = 0, allocations = 0;
  std::function<void(int)> onPass;  // after each pass with frames

  explicit Host(const nel::sim::SubjectConfig& s = nel::sim::QuietSubject()) : unit(s) {
    EXPECT_TRUE(hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(ToUnit, &unit));
    const uint8_t begin = 0x82;
    unit.Receive(&begin, 1);
    nel::sim::UseCoefficients(hb, unit.ActiveCoefficients());
  }
  tagHMID_DATA Status() {
    tagHMID_DATA s{};
    hb.GetStatus(&s);
    return s;
  }
  bool Run(double seconds, const std::function<bool()>& until) {
    for (long f = 0; f < static_cast<long>(seconds * 1000); f += 20) {
      unit.Advance(20);
      const size_t n = unit.Output().size();
      Passes(hb, unit.Output().data(), n, allocations, [this](int k) {
        frames += k;
        if (onPass) onPass(k);
      });
      unit.ConsumeOutput(n);
      if (until()) return true;
    }
    return false;
  }
};

// Writes frames 0..n-1 made by `make`, `step` a time (`step(i)`: the next
// chunk's size), and runs passes after each chunk; returns the frames taken.
long Inject(TnelHardBase& hb, long n, const std::function<nel::sim::RawFrame(long)>& make,
            const std::function<int(long)>& step, const std::function<void(int)>& pass, long& allocations) {
  long taken = 0;
  for (long i = 0; i < n;) {
    std::vector<uint8_t> bytes;
    for (const long end = std::min(n, i + step(i)); i < end; ++i) {
      const auto p = nel::sim::EncodeDataRaw(make(i));
      bytes.insert(bytes.end(), p.begin(), p.end());
    }
    taken += Passes(hb, bytes.data(), bytes.size(), allocations, pass);
  }
  return taken;
}

// Four blocks of 2100 frames after 4000 of settling: the block holding the
// lowest minimum loses its minimum, the one holding the highest maximum its
// maximum, the rest are averaged; a flat PCG's datum becomes 10 and the one
// in use its floor of 20; the ECG's datum is never measured.
TEST(Facade, SignalCheckDropsTheExtremeBlocks) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  int base[8], datum[8], inUse[8], inUseDatum[8];
  hb.SignalCheck_GetADBaseDatum(base, datum);  // before any check: the values in use
  hb.GetADBaseValue(inUse, inUseDatum);
  for (int j = 0; j < 6; ++j) EXPECT_EQ(base[j] + datum[j], inUse[j] + inUseDatum[j]) << j;
  hb.SignalCheck_Start();
  static constexpr int kMin[4] = {0, 10, 20, -50}, kMax[4] = {100, 110, 120, 200};
  long allocations = 0;
  const auto make = [](long i) {
    nel::sim::RawFrame f;
    f.ecg = 2130;
    f.pcg = 2048;
    for (auto& t : f.transducer) t = 40;
    const long b = (i - 4000) / 2100, j = (i - 4000) % 2100;
    f.transducer[0] = i < 4000 ? 900000 : j == 7 ? kMin[b] : j == 1500 ? kMax[b] : 40;  // settling: never seen
    return f;
  };
  EXPECT_EQ(Inject(
                hb, 4000 + 4 * 2100, make, [](long) { return 20; }, nullptr, allocations),
            4000 + 4 * 2100);
  tagHMID_DATA st{};
  hb.GetStatus(&st);
  EXPECT_TRUE(st.SignalCheckEnd);
  hb.SignalCheck_GetADBaseDatum(base, datum);
  EXPECT_EQ(base[2], 60);  // (110 + 10) / 2
  EXPECT_EQ(datum[2], 50);
  EXPECT_EQ(base[1], 2048);
  EXPECT_EQ(datum[1], 10);
  EXPECT_EQ(base[0], 2130);
  EXPECT_EQ(datum[0], 665);
  hb.GetADBaseValue(base, datum);
  EXPECT_EQ(datum[1], 20);
  EXPECT_EQ(datum[0], 665);
  EXPECT_EQ(allocations, 0);
}

// Host misuse: each call in its state gives its documented result and leaves
// a reason; the old symptom is in the comment.
TEST(Facade, MisuseIsRefusedWithAReason) {
  bool all[6] = {true, true, true, true, true, true};
  auto bp = [&all](int maxPressure, int mode = BPMEASURE_SIMULTANEOUS) {
    return [&all, maxPressure, mode](TnelHardBase& hb) {
      return hb.BPMeasure_Start(static_cast<tagTYPE_BPMEASUREMODE>(mode), maxPressure, all, 70);
    };
  };
  auto exercise = [](int16_t timing, int32_t interval, int32_t pause, int16_t maxPressure) {
    return [=](TnelHardBase& hb) {
      tagExerciseStressConfig cfg = {};
      cfg.CheckCount = 2;
      cfg.TimingMode = timing;
      cfg.IntervalMinutes = interval;
      cfg.PauseSeconds = pause;
      cfg.BPMeasureMode = BPMEASURE_SIMULTANEOUS;
      cfg.MaxPressure = maxPressure;
      hb.ExerciseStress_Start(cfg);
      return hb.SequenceFlag();
    };
  };
  auto hold = [](int p) {
    return [p](TnelHardBase& hb) {
      hb.FixPressure_Start(p);
      return hb.GetPressureFixed() != nullptr;
    };
  };
  auto lines = [](tagTYPE_BPMEASUREMODE mode, int a, int b) {
    return [=](TnelHardBase& hb) {
      hb.SetDetectCategory(DETECT_ALL);
      bool sel[6] = {};
      sel[a] = sel[b] = true;
      return hb.BPMeasure_Start(mode, 200, sel, 70);
    };
  };
  using R = nel::Result;
  const struct {
    const char* what;
    std::function<bool(TnelHardBase&)> call;  // true when accepted
    bool accepted;
    R reason;
  } cases[] = {
      {"maximum 70000 (an int16 4464)", bp(70000), false, R::kInvalidArgument},
      {"maximum -5", bp(-5), false, R::kInvalidArgument},
      {"maximum 300", bp(300), true, R::kOk},
      {"mode 3 (started no cuff)", bp(200, 3), false, R::kInvalidArgument},
      {"measurement after a CVRR check (no cuffs)",
       [&](TnelHardBase& hb) {
         hb.CVRRCheck_Start(30000);
         return bp(200)(hb);
       },
       false, R::kInvalidArgument},
      {"record during a hold (never recorded)", [&](TnelHardBase& hb) { return hold(60)(hb) && hb.WaveRecord_Start(); },
       false, R::kRefused},
      {"hold at 5 mmHg", hold(5), false, R::kInvalidArgument},
      {"exercise every 100000 minutes (overflowed)", exercise(0, 100000, 0, 200), false, R::kInvalidArgument},
      {"exercise pausing -1 s", exercise(1, 0, -1, 200), false, R::kInvalidArgument},
      {"exercise to 400 mmHg", exercise(1, 0, 30, 400), false, R::kInvalidArgument},
      {"exercise every 5 minutes", exercise(0, 5, 0, 200), true, R::kOk},
      // Toe cuffs share the ankle lines: one controller per line at a time.
      {"right ankle and toe at once", lines(BPMEASURE_SIMULTANEOUS, BP_RANK, BP_RTOE), false, R::kRefused},
      {"right ankle and toe, right first", lines(BPMEASURE_RIGHT_THEN_LEFT, BP_RANK, BP_RTOE), false, R::kRefused},
      {"right ankle then toe", lines(BPMEASURE_SEQUENTIAL, BP_RANK, BP_RTOE), true, R::kOk},
      {"right ankle and left toe", lines(BPMEASURE_SIMULTANEOUS, BP_RANK, BP_LTOE), true, R::kOk},
  };
  for (const auto& c : cases) {
    TnelHardBase hb(0, DATAPROCESS_STANDARD);
    ASSERT_TRUE(hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(ToUnit, nullptr));
    nel::ClearLastError();
    EXPECT_EQ(c.call(hb), c.accepted) << c.what;
    EXPECT_EQ(nel::LastErrorCode(), c.reason) << c.what << ": " << nel::LastErrorText();
    EXPECT_EQ(hb.SequenceFlag(), c.accepted && hb.Layout().cuffCount > 0 && !hb.GetPressureFixed()) << c.what;
  }
  // Without an open port a measurement "started" and the host waited for ever.
  TnelHardBase closed(0, DATAPROCESS_STANDARD);
  for (const std::function<bool(TnelHardBase&)>& call :
       std::vector<std::function<bool(TnelHardBase&)>>{bp(200), hold(60), exercise(0, 5, 0, 200)}) {
    nel::ClearLastError();
    EXPECT_FALSE(call(closed));
    EXPECT_EQ(nel::LastErrorCode(), R::kNotOpen) << nel::LastErrorText();
  }
}

// Whichever allocation of the constructor fails, no exception leaves it, and
// a façade without its parts opens nothing and says why.
TEST(Facade, ConstructorSurvivesAnyAllocationFailing) {
  tAllocations = 0;
  tCounting = true;
  { TnelHardBase whole(0, DATAPROCESS_STANDARD); }
  tCounting = false;
  const long made = tAllocations;
  ASSERT_GT(made, 10);
  int crippled = 0;
  for (long k = 1; k <= made; ++k) {  // 0 is make_unique's own
    tAllocations = 0;
    tFailAt = k;
    tCounting = true;
    std::unique_ptr<TnelHardBase> hb;
    try {
      hb = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD);
    } catch (...) {
      ADD_FAILURE() << "an exception left the constructor when allocation " << k << " failed";
    }
    tCounting = false;
    tFailAt = -1;
    if (!hb || hb->GetHardCtl() != nullptr) continue;
    ++crippled;
    nel::ClearLastError();
    EXPECT_FALSE(hb->OpenHardware(0x80, 1)) << k;
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNoMemory) << k;
    EXPECT_FALSE(hb->CheckData()) << k;
  }
  EXPECT_GT(crippled, 0);
}

// Frames written by the test (every count distinct) through the pass: the
// waves handed out are the filter bank's output of (count - base) / datum for
// ECG and PCG (each with its own base) and count * slope + offset for the
// pulse waves; the wave record keeps six of the category's eight waves and the
// CVRR check the ECG, and gives its result from the 30000th sample on.
TEST(Facade, PassConvertsRecordsAndHandsOutEveryWave) {
  struct Case {
    tagTYPE_DETECTCATEGORY category;
    tagTYPE_DATAPROCESSMODE mode;
    int record;  // 0 none, 1 wave record, 2 CVRR check
  } cases[] = {{DETECT_ALL, DATAPROCESS_STANDARD, 1},
               {DETECT_BRA_ANK, DATAPROCESS_RAW, 1},
               {DETECT_ECG_PCG, DATAPROCESS_STANDARD, 2},
               {DETECT_PULSE, DATAPROCESS_STANDARD, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "category " << c.category << ", mode " << c.mode);
    TnelHardBase hb(0, c.mode);
    tagAD_FORCE_CONVERT coeff[6];
    for (int k = 0; k < 6; ++k) coeff[k] = {0.0004f + 0.00002f * k, -6.0f + 1.5f * k};
    nel::sim::UseCoefficients(hb, coeff);
    if (c.record == 2)
      hb.CVRRCheck_Start(1);  // raised to 30000 samples; sets its category
    else
      hb.SetDetectCategory(c.category);
    hb.SetADBaseValue(2100, 600, 0);
    hb.SetADBaseValue(1900, 410, 1);
    if (c.record == 1) {
      ASSERT_TRUE(hb.WaveRecord_Start());
    }
    const int W = hb.Layout().waveCount, K = hb.Layout().cuffCount;
    int base[8], datum[8];
    hb.GetADBaseValue(base, datum);
    EXPECT_TRUE(base[0] == 2100 && datum[0] == 600 && base[1] == 1900 && datum[1] == 410);
    TnelFIRFilter ref(c.mode);
    ref.InitFiltePara();
    ref.SetWaveNumType(static_cast<short>(W), hb.Layout().waves);

    std::vector<float> want;  // the reference's main output, frame by frame
    long mismatches = 0, allocations = 0, kept = 0;
    int32_t cvrrLen = 0;
    auto pass = [&](int n) {
      std::vector<int> raw(n * W);
      std::vector<float> in(n * W), mainOut(n * W), low(n * W), got(n * W), pressure(n * K);
      ASSERT_EQ(hb.GetData(raw.data()), n);
      ASSERT_EQ(hb.GetData(got.data(), pressure.data(), nullptr), n);
      for (int i = 0; i < n * W; ++i) {
        const int j = i % W;
        in[i] = j < 2 ? (raw[i] - static_cast<float>(base[j])) / static_cast<float>(datum[j])
                      : raw[i] * coeff[j - 2].Slope + coeff[j - 2].Offset;
      }
      ref.WaveFilte(in.data(), static_cast<short>(n));
      ref.GetWaveFilteResult(mainOut.data(), low.data(), static_cast<short>(n));
      for (int i = 0; i < n * W; ++i) mismatches += got[i] != low[i];
      want.insert(want.end(), mainOut.begin(), mainOut.end());
    };
    const auto make = [](long i) {
      nel::sim::RawFrame r;
      r.ecg = static_cast<uint16_t>(1000 + (i * 37) % 2000);
      r.pcg = static_cast<uint16_t>(900 + (i * 53) % 2500);
      for (int t = 0; t < 4; ++t) r.transducer[t] = 200000 + static_cast<int32_t>((i * (311 + 97 * t)) % 90000);
      return r;
    };
    // Chunks of 20 frames; the CVRR check stops at 29999 samples on its way.
    const auto step = [&](long) {
      const int32_t saved = hb.CVRRCheck_GetCurrSavedDataLen();
      return c.record == 2 && saved < 29999 ? std::clamp(29999 - saved, 1, 20) : 20;
    };
    const long n = c.record == 2 ? 31200 : 8000;
    const auto checked = [&](int m) {
      pass(m);
      if (c.record == 2 && hb.CVRRCheck_GetCurrSavedDataLen() == 29999 && kept == 0) {
        tagCVRR_ANA_RESULT res;
        std::memset(&res, 0x7F, sizeof res);
        EXPECT_FALSE(hb.CVRRCheck_GetResult(&res)) << "a result from 29999 samples";
        EXPECT_EQ(res.DataLen + res.RR[1199], 0);
        kept = 1;
      }
    };
    EXPECT_EQ(Inject(hb, n, make, step, checked, allocations), n);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(allocations, 0);
    // A category changed since the pass (eight waves, six cuffs) does not
    // change what the pass's copies write.
    hb.SetDetectCategory(DETECT_ALL);
    const int last = hb.GetData(static_cast<int*>(nullptr));
    std::vector<float> waves(last * W + 1, 1234.5f), pressures(last * K + 1, 1234.5f);
    std::vector<int> raw(last * W + 1, 777);
    EXPECT_EQ(hb.GetData(waves.data(), pressures.data(), nullptr), last);
    EXPECT_EQ(hb.GetData(raw.data()), last);
    EXPECT_EQ(waves.back() + pressures.back() + raw.back(), 1234.5f * 2 + 777);
    if (c.record == 1) {
      // Settling: 2000 frames, rounded up to whole passes of 20.
      int count = 0;
      const tagSAVE_WAVEDATA* rec = hb.WaveRecord_DataAssign(&count);
      ASSERT_EQ(count, 6000);
      for (int r = 0; r < count; ++r)
        for (int j = 0; j < 6; ++j) {
          const float v = rec[r].Wave[j];
          mismatches += j < W && v != want[(2000 + r) * W + j];
          mismatches += rec[r].Mark[j] != 0;
        }
      EXPECT_EQ(mismatches, 0);
    } else if (c.record == 2) {
      EXPECT_GT(kept, 0) << "never stood at 29999 samples";
      const float* buf = hb.CVRRCheck_AssignECGWaveData(&cvrrLen);
      EXPECT_EQ(cvrrLen, 30000);
      for (int s = 0; s < 30000; ++s) mismatches += buf[s] != want[static_cast<size_t>(1000 + s) * W];
      EXPECT_EQ(mismatches, 0);
      auto res = std::make_unique<tagCVRR_ANA_RESULT>();
      EXPECT_TRUE(hb.CVRRCheck_GetResult(res.get()));
      EXPECT_EQ(res->DataLen, 30000);
      hb.CVRRCheck_Cancel();
      EXPECT_EQ(hb.CVRRCheck_AssignECGWaveData(&cvrrLen), nullptr);
    }
  }
}

// Every measurement mode on the virtual unit: the selected cuffs near the
// subject's pressures, started in the mode's order, the others -1; the end
// stays reported, those passes skip the filter bank; no pass allocates.
TEST(Facade, MeasurementModesGiveTheSubjectsPressures) {
  const char* keys[] = {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"};
  const struct {
    tagTYPE_BPMEASUREMODE mode;
    tagTYPE_DETECTCATEGORY category;
    const char* selected;  // by channel
    const char* order;     // positions in the order their cuffs start
  } cases[] = {{BPMEASURE_SIMULTANEOUS, DETECT_BRA_ANK, "111100", ""},
               {BPMEASURE_SEQUENTIAL, DETECT_BRA_ANK, "111100", "0123"},
               {BPMEASURE_SEQUENTIAL, DETECT_BRA_ANK, "011100", "123"},
               {BPMEASURE_RIGHT_THEN_LEFT, DETECT_BRA_ANK, "111100", "0213"},
               {BPMEASURE_SIMULTANEOUS, DETECT_BRA_TOE, "000011", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", channels " << c.selected);
    nel::sim::SubjectConfig subject = nel::sim::QuietSubject();
    subject.SetToeLines(c.category == DETECT_BRA_TOE);
    Host h(subject);
    h.hb.SetDetectCategory(c.category);
    bool sel[6];
    for (int k = 0; k < 6; ++k) sel[k] = c.selected[k] == '1';
    std::string order;
    float pressures[27 * 4];
    h.onPass = [&](int n) {
      h.hb.GetData(nullptr, pressures, nullptr);
      for (int k = 0; k < 4; ++k)
        if (pressures[(n - 1) * 4 + k] > 20.0f && order.find(char('0' + k)) == std::string::npos)
          order += char('0' + k);
    };
    ASSERT_TRUE(h.hb.BPMeasure_Start(c.mode, 250, sel, 70));
    ASSERT_TRUE(h.Run(600, [&] { return h.Status().BPMeasureEnd; }));
    const auto truth = h.unit.GroundTruth()["sites"];
    const tagHMID_DATA st = h.Status();
    for (int k = 0; k < 4; ++k) {
      const int ch = h.hb.Layout().cuffs[k];
      if (!sel[ch]) {
        EXPECT_EQ(st.BPResult[k].SBP, -1) << k;
        EXPECT_EQ(int32_t{st.BPResult[k].Status}, 0) << k;
        continue;
      }
      const double band = ch >= BP_RTOE ? 20 : 15;  // a toe cuff's wider band
      EXPECT_NEAR(st.BPResult[k].SBP, truth[keys[ch]]["sbp"].get<double>(), band) << keys[ch];
      if (ch < BP_RTOE) {
        EXPECT_NEAR(st.BPResult[k].DBP, truth[keys[ch]]["dbp"].get<double>(), band) << keys[ch];
      }
    }
    tagNEL_PULSEPEAK peak{};
    h.hb.GetNELPulsePeak(&peak, static_cast<short>(c.order[0] ? c.order[0] - '0' : 2));
    EXPECT_GT(peak.Count, 5);
    EXPECT_TRUE(peak.SBPPos >= 0 && peak.SBPPos < peak.Count && peak.DBPPos > peak.SBPPos) << peak.DBPPos;
    if (*c.order) {
      EXPECT_EQ(order, c.order);
    }
    const int32_t readPos = h.hb.GetFilter()->GetReadPos();
    h.onPass = nullptr;
    ASSERT_FALSE(h.Run(0.2, [] { return false; }));
    EXPECT_TRUE(h.Status().BPMeasureEnd);
    EXPECT_EQ(h.hb.GetFilter()->GetReadPos(), readPos);
    EXPECT_EQ(h.allocations, 0);
  }
}

// A hold; exercise protocols timed by interval (mode 0, from each check's start) and
// by pause (mode 1, from each check's end), and one whose check ends in an
// over-pressure. No pass allocates.
TEST(Facade, HoldAndExerciseTimingAndIndices) {
  Host h;
  // A hold at 60 mmHg settles on every line.
  h.hb.FixPressure_Start(60);
  ASSERT_TRUE(h.Run(60, [&] { return h.Status().FixPressureEnd; }));
  float pressures[27 * 4];
  ASSERT_GT(h.hb.GetData(nullptr, pressures, nullptr), 0);
  for (int k = 0; k < 4; ++k) {
    EXPECT_GE(pressures[k], 59.3f) << k;
    EXPECT_LE(pressures[k], 64.2f) << k;
  }
  h.hb.FixPressure_Cancel(true);
  for (int16_t mode : {0, 1}) {
    tagExerciseStressConfig cfg = nel::sim::PausedExercise(2, 5);
    cfg.TimingMode = mode;
    cfg.IntervalMinutes = 1;
    h.hb.ExerciseStress_Start(cfg);
    long last = h.frames, waitFrom = -1, second = -1;
    int countdown = -1, expected = -1;
    h.onPass = [&](int) {
      const int stage = h.Status().ExerciseStage;
      if (stage == 2 && countdown < 0) {
        waitFrom = h.frames;
        countdown = h.hb.ExerciseStress_GetNextProcElapseSeconds();
        expected = mode == 0 ? static_cast<int>((60000 - (h.frames - last) + 999) / 1000) : 5;
      }
      if (second < 0 && stage == 0 && h.hb.ExerciseStress_GetCurrChkNo() == 1)
        second = h.frames - (mode == 0 ? last : waitFrom);
    };
    ASSERT_TRUE(h.Run(200, [&] { return h.Status().ExerciseEnd; })) << mode;
    h.onPass = nullptr;
    EXPECT_EQ(second, mode == 0 ? 60000 : 5000) << mode;
    EXPECT_EQ(countdown, expected) << mode;
    tagExerciseStressRec rec{};
    ASSERT_TRUE(h.hb.ExerciseStress_GetResult(&rec));
    ASSERT_EQ(rec.CheckNum, 2);
    for (int c = 0; c < 2; ++c) {
      int16_t s[4];
      for (int p = 0; p < 4; ++p) {
        s[p] = rec.Check[c].BP[p][0];
        const int16_t dbp = rec.Check[c].BP[p][1], map = rec.Check[c].BP[p][2];
        EXPECT_TRUE(dbp > 30 && dbp < map && map < s[p]) << s[p] << "/" << dbp << "/" << map;
      }
      const float got[4] = {rec.Check[c].RightABI, rec.Check[c].LeftABI, rec.Check[c].RightBAI, rec.Check[c].LeftBAI};
      const float want[4] = {
          static_cast<float>(s[2]) / std::max(s[0], s[1]), static_cast<float>(s[3]) / std::max(s[0], s[1]),
          static_cast<float>(s[0]) / std::max(s[2], s[3]), static_cast<float>(s[1]) / std::max(s[2], s[3])};
      for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(got[i], want[i]) << mode << " " << c << " " << i;
    }
    h.hb.ExerciseStress_Cancel();
  }
  // A check that the safety ceiling ends has no pressures: every index -1.
  tagExerciseStressConfig cfg = nel::sim::PausedExercise(3, 2);
  cfg.MaxPressure = 100;
  h.hb.ExerciseStress_Start(cfg);
  ASSERT_TRUE(h.Run(200, [&] { return h.Status().ExerciseEnd; }));
  tagExerciseStressRec rec{};
  ASSERT_TRUE(h.hb.ExerciseStress_GetResult(&rec));
  ASSERT_EQ(rec.CheckNum, 1);
  for (float v : {+rec.Check[0].RightABI, +rec.Check[0].LeftABI, +rec.Check[0].RightBAI, +rec.Check[0].LeftBAI})
    EXPECT_EQ(v, -1.0f);
  EXPECT_EQ(h.allocations, 0);
}

}  // namespace
