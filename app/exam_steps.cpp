#include "exam_steps.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "commands.h"

namespace nelctl {

namespace {

constexpr double kHoldLimitSeconds = 60.0;
constexpr double kRecordSeconds = (TnelHardBase::kWaveRecordSettling + TnelHardBase::kWaveRecordCapacity) / 1000.0;
// 4000 settling frames and four blocks of 2100.
constexpr double kCheckSeconds =
    (TnelHardBase::kSignalCheckSettling + TnelHardBase::kSignalCheckBlocks * TnelHardBase::kSignalCheckBlockFrames) /
    1000.0;

// Position of a cuff channel's limb in the file's pressure list.
int LimbSlot(int channel) {
  switch (channel) {
    case BP_RBRA: return 0;
    case BP_LBRA: return 1;
    case BP_RANK:
    case BP_RTOE: return 2;
    case BP_LANK:
    case BP_LTOE: return 3;
  }
  return -1;
}

}  // namespace

BPOutcome MeasureLimbs(FacadeHost& host, tagTYPE_DETECTCATEGORY category, tagTYPE_BPMEASUREMODE mode, int maxPressure,
                       nel::analysis::WaveRecordFile& file) {
  BPRequest req;
  req.cuffs = ParseCuffs("", category);
  req.mode = mode;
  req.maxPressure = maxPressure;
  BPOutcome bp = MeasureBP(host, req);
  file.hasPressures = true;
  for (const CuffResult& r : bp.cuffs) {
    const int slot = LimbSlot(r.channel);
    if (slot >= 0)
      file.pressures[slot] = {static_cast<int16_t>(r.sbp), static_cast<int16_t>(r.dbp), static_cast<int16_t>(r.map)};
  }
  return bp;
}

void HoldAndRecord(FacadeHost& host, int pressure, nel::analysis::WaveRecordFile& file) {
  TnelHardBase& hb = host.Base();
  hb.FixPressure_Start(pressure);
  double start = host.VirtualSeconds();
  host.RunUntil(
      "record", kHoldLimitSeconds, [&] { return host.Status().FixPressureEnd; },
      [&] {
        char head[64];
        std::snprintf(head, sizeof head, "%5.1f s  holding at %d mmHg  ", host.VirtualSeconds() - start, pressure);
        return head + host.PressureText();
      });
  hb.FixPressure_Cancel(false);  // the cuffs stay inflated
  if (!hb.WaveRecord_Start()) throw Failure("the wave record did not start");
  start = host.VirtualSeconds();
  host.RunUntil(
      "record", kRecordSeconds + 30.0, [&] { return host.Status().WaveRecordEnd; },
      [&] {
        char head[64];
        std::snprintf(head, sizeof head, "%5.1f s left  %5d records  ",
                      std::max(0.0, kRecordSeconds - (host.VirtualSeconds() - start)), hb.WaveRecordCount());
        return head + host.PressureText();
      });
  int count = 0;
  const tagSAVE_WAVEDATA* records = hb.WaveRecord_DataAssign(&count);
  if (!records || count <= 0) throw Failure("the wave record is empty", kStatusIncomplete);
  file.records.assign(records, records + count);
  file.kinds.clear();
  const auto& l = hb.Layout();
  for (int p = 0; p < l.waveCount && p < 6; ++p) file.kinds.push_back(l.waves[p]);
  hb.CancelAllProcess();
}

nlohmann::json SignalCheck(FacadeHost& host) {
  TnelHardBase& hb = host.Base();
  hb.SignalCheck_Start();
  const double start = host.VirtualSeconds();
  host.RunUntil(
      "signal check", kCheckSeconds + 30.0, [&] { return host.Status().SignalCheckEnd; },
      [&] {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%5.1f s left  ",
                      std::max(0.0, kCheckSeconds - (host.VirtualSeconds() - start)));
        return buf + host.PressureText();
      });
  int base[8] = {}, datum[8] = {}, useBase[8] = {}, useDatum[8] = {};
  hb.SignalCheck_GetADBaseDatum(base, datum);
  hb.GetADBaseValue(useBase, useDatum);
  hb.SignalCheck_Cancel();
  const auto& l = hb.Layout();
  nlohmann::json waves = nlohmann::json::array();
  for (int p = 0; p < l.waveCount; ++p)
    waves.push_back({{"wave", WaveLabel(l.waves[p])},
                     {"base", base[p]},
                     {"datum", datum[p]},
                     {"usedBase", useBase[p]},
                     {"usedDatum", useDatum[p]}});
  return {{"waves", waves}};
}

nlohmann::json PulseEnvelope(FacadeHost& host, int position) {
  auto pp = std::make_unique<tagNEL_PULSEPEAK>();
  host.Base().GetNELPulsePeak(pp.get(), static_cast<short>(position));
  const int channel = host.Base().Layout().cuffs[position];
  const int count = std::clamp<int>(pp->Count, 0, 800);
  nlohmann::json pulses = nlohmann::json::array();
  for (int i = 0; i < count; ++i) pulses.push_back({{"pressure", pp->Pressure[i]}, {"amplitude", pp->Amplitude[i]}});
  const auto index = [count](int16_t i) { return i >= 0 && i < count ? static_cast<int>(i) : -1; };
  return {{"cuff", ChannelName(channel)},
          {"label", ChannelLabel(channel)},
          {"sbpIndex", index(pp->SBPPos)},
          {"mapIndex", index(pp->MAPPos)},
          {"dbpIndex", index(pp->DBPPos)},
          {"ratio", pp->MapSBPRatio},
          {"pulses", pulses}};
}

nlohmann::json AnalyseRecord(nel::analysis::WaveRecordFile& rec, const tagLIMBRESULT (&limbs)[4],
                             const AnalysisSettings& s, bool& ok, std::string& reason) {
  TnelDataAna ana(static_cast<int16_t>(rec.kinds.size()), rec.kinds.data(), rec.records.data(),
                  static_cast<int32_t>(rec.records.size()), rec.sampleRate);
  tagLIMBRESULT copy[4] = {limbs[0], limbs[1], limbs[2], limbs[3]};
  ana.SetBPData(s.ankle, copy);
  ok = ana.Analysis(s.ankle, s.height, s.pwvFactor, s.filter);
  // The reason a host reads: the result's text, and for a bad sample where it lies.
  reason = DataAnaResultText(ana.AnaResult);
  nlohmann::json j;
  if (ana.AnaResult == DATAANA_BAD_SAMPLE) {
    const char* wave = nel::analysis::WaveKindName(ana.BadSampleKind);
    reason += std::string(" (") + (wave ? wave : "?") + ", record " + std::to_string(ana.BadSampleRecord) + ")";
    j["badSample"] = {{"wave", wave ? wave : "?"}, {"record", ana.BadSampleRecord}};
  }
  j["ok"] = ok;
  j["result"] = ana.AnaResult;
  j["reason"] = reason;
  j["mode"] = s.ankle ? "ankle" : "toe";
  j["sampleRate"] = rec.sampleRate;
  j["records"] = rec.records.size();
  j["HeartRate"] = ana.HeartRate;
  j["RightABI"] = ana.RightABI;
  j["LeftABI"] = ana.LeftABI;
  j["RightBAI"] = ana.RightBAI;
  j["LeftBAI"] = ana.LeftBAI;
  j["RightTBI"] = ana.RightTBI;
  j["LeftTBI"] = ana.LeftTBI;
  j["RightBTI"] = ana.RightBTI;
  j["LeftBTI"] = ana.LeftBTI;
  j["RightPWV"] = ana.RightPWV;
  j["LeftPWV"] = ana.LeftPWV;
  j["UpstrokeTime"] = {ana.UpstrokeTime[0], ana.UpstrokeTime[1], ana.UpstrokeTime[2], ana.UpstrokeTime[3]};
  j["MapPercent"] = {ana.MapPercent[0], ana.MapPercent[1], ana.MapPercent[2], ana.MapPercent[3]};
  j["PEP"] = ana.PEP;
  j["ET"] = ana.ET;
  j["AIx"] = ana.AIx;
  return j;
}

}  // namespace nelctl
