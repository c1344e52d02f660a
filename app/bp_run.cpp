#include "bp_run.h"

#include <algorithm>
#include <cstdio>

#include <nel/bp/bp_records.h>
#include "commands.h"

namespace nelctl {

namespace {

// The heart-rate tracker needs a few beats before it reports a rate: the
// measurement waits for it at most this long.
constexpr double kSettleSeconds = 10.0;
// Used when the tracker has no rate (no ECG leads, or not yet settled).
constexpr short kDefaultPulseRate = 70;
// Limit of one group of cuffs measured together: a cuff takes about 40 s of
// the unit's time, up to three attempts when the pulses are unusable.
constexpr double kGroupLimitSeconds = 150.0;

bool Final(int status) {
  return status == BPVSTA_OK || status == BPVSTA_OVERTIME || status == BPVSTA_FAILED || status == BPVSTA_OVERPRESSURE ||
         status == BPVSTA_STOPPED;
}

// The requested cuffs, in the order of the category's cuff list; sel[channel] marks each.
void SelectCuffs(TnelHardBase& hb, const BPRequest& req, BPOutcome& out, bool (&sel)[6]) {
  const nel::link::CategoryLayout& layout = hb.Layout();
  for (tagTYPE_NEL_BPDATA c : req.cuffs) {
    int position = -1;
    for (int k = 0; k < layout.cuffCount; ++k)
      if (layout.cuffs[k] == c) position = k;
    if (position < 0)
      throw Failure(std::string("cuff ") + ChannelName(c) + " is not measured in category " +
                        CategoryName(hb.GetDetectCategory()),
                    kStatusUsage);
    sel[c] = true;
    CuffResult r;
    r.channel = c;
    r.position = position;
    out.cuffs.push_back(r);
  }
  if (out.cuffs.empty()) throw Failure("no cuff to measure", kStatusUsage);
  std::sort(out.cuffs.begin(), out.cuffs.end(),
            [](const CuffResult& a, const CuffResult& b) { return a.position < b.position; });
}

// The tracker's first plausible rate, else the default: see docs/decisions.md, "Expected pulse rate".
void SettlePulseRate(FacadeHost& host, BPOutcome& out) {
  const double settleEnd = host.VirtualSeconds() + kSettleSeconds;
  const auto plausible = [](int rate) { return rate >= 30 && rate <= 200; };
  host.RunUntil(
      "bp", kSettleSeconds + 10.0,
      [&] { return plausible(host.Status().PulseRate) || host.VirtualSeconds() >= settleEnd; },
      [&] { return "waiting for the heart rate  " + host.PressureText(); });
  const int tracked = host.Status().PulseRate;
  out.trackedRate = tracked;
  out.pulseRate = plausible(tracked) ? tracked : kDefaultPulseRate;
}

// The progress line: the time since `start`, then each cuff's pressure and state.
std::string ProgressLine(const FacadeHost& host, double start, const BPOutcome& out) {
  char head[32];
  std::snprintf(head, sizeof head, "%5.1f s ", host.VirtualSeconds() - start);
  std::string s = head;
  for (const CuffResult& r : out.cuffs) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " | %s %5.1f mmHg %s", ChannelLabel(r.channel),
                  static_cast<double>(host.Pressures()[r.position]), r.finished ? BPStatusName(r.status) : "measuring");
    s += buf;
  }
  return s;
}

// The pressures of every cuff that ended with a result; complete when all did.
void TakeResults(const FacadeHost& host, BPOutcome& out) {
  out.complete = true;
  for (CuffResult& r : out.cuffs) {
    const tagHMID_BPRESULT& b = host.Status().BPResult[r.position];
    if (r.status == BPVSTA_OK) {
      r.sbp = b.SBP;
      r.dbp = b.DBP;
      r.map = b.MAP;
    } else {
      out.complete = false;
    }
  }
}

}  // namespace

std::vector<tagTYPE_NEL_BPDATA> ParseCuffs(const std::string& list, tagTYPE_DETECTCATEGORY category) {
  std::vector<tagTYPE_NEL_BPDATA> out;
  if (list.empty()) {
    nel::link::CategoryLayout l;
    nel::link::LayoutForCategory(category, l);
    for (int k = 0; k < l.cuffCount; ++k) out.push_back(l.cuffs[k]);
    return out;
  }
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const tagTYPE_NEL_BPDATA c = ChannelFromName(list.substr(start, comma - start));
    if (std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

BPOutcome MeasureBP(FacadeHost& host, const BPRequest& req) {
  TnelHardBase& hb = host.Base();
  BPOutcome out;
  out.mode = req.mode;
  out.maxPressure = req.maxPressure;
  bool sel[6] = {};
  SelectCuffs(hb, req, out, sel);
  SettlePulseRate(host, out);

  if (!hb.BPMeasure_Start(req.mode, req.maxPressure, sel, static_cast<short>(out.pulseRate)))
    throw Failure("the measurement did not start");
  const double start = host.VirtualSeconds();
  bool overPressure = false;
  host.onPass = [&] {
    for (CuffResult& r : out.cuffs) {
      const int st = host.Status().BPResult[r.position].Status;
      if (st == BPVSTA_REMEASURE) ++r.attempts;
      if (!Final(st)) continue;
      r.status = st;
      r.finished = true;
      if (st == BPVSTA_OVERPRESSURE) overPressure = true;
    }
  };
  int groups = 1;
  if (req.mode == BPMEASURE_SEQUENTIAL) groups = static_cast<int>(out.cuffs.size());
  if (req.mode == BPMEASURE_RIGHT_THEN_LEFT) groups = 2;
  try {
    host.RunUntil(
        "bp", kGroupLimitSeconds * groups,
        // An over-pressure ends the whole measurement (BPMeasureEnd is set with it).
        [&] { return host.Status().BPMeasureEnd || overPressure; }, [&] { return ProgressLine(host, start, out); });
  } catch (...) {
    host.onPass = nullptr;
    throw;
  }
  host.onPass = nullptr;
  out.seconds = host.VirtualSeconds() - start;
  TakeResults(host, out);
  hb.BPMeasure_Cancel();
  return out;
}

double LimbIndex(const BPOutcome& bp, int limbChannel) {
  int arm = -1, limb = -1;
  for (const CuffResult& r : bp.cuffs) {
    if (r.status != BPVSTA_OK) continue;
    if (r.channel == BP_RBRA || r.channel == BP_LBRA) arm = std::max(arm, r.sbp);
    if (r.channel == limbChannel) limb = r.sbp;
  }
  if (arm <= 0 || limb <= 0) return -1.0;
  return static_cast<double>(limb) / arm;
}

nlohmann::json BPToJson(const BPOutcome& bp) {
  nlohmann::json j;
  j["mode"] = ModeName(bp.mode);
  j["maxPressure"] = bp.maxPressure;
  j["pulseRate"] = bp.pulseRate;
  j["trackedRate"] = bp.trackedRate;
  j["seconds"] = bp.seconds;
  j["complete"] = bp.complete;
  nlohmann::json cuffs = nlohmann::json::array();
  for (const CuffResult& r : bp.cuffs) {
    cuffs.push_back({{"cuff", ChannelName(r.channel)},
                     {"position", r.position},
                     {"status", r.finished ? BPStatusName(r.status) : "stopped"},
                     {"attempts", r.attempts},
                     {"sbp", r.sbp},
                     {"dbp", r.dbp},
                     {"map", r.map}});
  }
  j["cuffs"] = cuffs;
  nlohmann::json index = nlohmann::json::object();
  for (int c = BP_RANK; c <= BP_LTOE; ++c) {
    const double v = LimbIndex(bp, c);
    if (v > 0) index[ChannelName(c)] = v;
  }
  j["index"] = index;
  return j;
}

void PrintBPTable(const BPOutcome& bp) {
  std::printf("%s measurement, max %d mmHg, expected pulse rate %d /min, %.1f s\n", ModeName(bp.mode), bp.maxPressure,
              bp.pulseRate, bp.seconds);
  std::printf("%-5s %-12s %5s %5s %5s %9s %8s\n", "cuff", "status", "SBP", "DBP", "MAP", "attempts", "index");
  for (const CuffResult& r : bp.cuffs) {
    const double index = LimbIndex(bp, r.channel);
    char idx[16] = "";
    if (r.channel >= BP_RANK && index > 0) std::snprintf(idx, sizeof idx, "%.2f", index);
    std::printf("%-5s %-12s %5d %5d %5d %9d %8s\n", ChannelLabel(r.channel),
                r.finished ? BPStatusName(r.status) : "stopped", r.sbp, r.dbp, r.map, r.attempts, idx);
  }
  std::printf("(mmHg; index: the limb's SBP over the higher arm SBP)\n");
}

}  // namespace nelctl
