#include "virtual_unit.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace nel::sim {

VirtualUnit::VirtualUnit(const SubjectConfig& cfg)
    : cfg_(cfg), phys_(cfg), noiseRng_(cfg.seed * 31 + 1), faultRng_(cfg.seed * 131 + 5) {
  for (int l = 0; l < 4; ++l) {
    lines_[l] = CuffLine(cfg.cuff[l], cfg.pump);
    terr_[l] = cfg.transducer[l];
  }
  if (cfg.stored_coeff) {
    tagAD_FORCE_CONVERT set[6];
    std::copy(cfg.stored_coeff->begin(), cfg.stored_coeff->end(), set);
    stored_ = EncodeCoeffBlock(set);
  }
  UpdateActiveCoefficients();
  schedule_ = cfg.faults;
  std::stable_sort(schedule_.begin(), schedule_.end(),
                   [](const FaultEvent& a, const FaultEvent& b) { return a.at_s < b.at_s; });
}

int VirtualUnit::SiteOfLine(int line) const {
  if (line < 2) return line;
  return lines_[line].IsToe() ? line + 2 : line;
}

void VirtualUnit::UpdateActiveCoefficients() {
  std::copy(std::begin(kBuiltInCoeff), std::end(kBuiltInCoeff), activeCoeff_);
  if (!stored_) return;
  auto set = DecodeCoeffBlock(stored_->data());
  if (!set) return;
  for (int c = 0; c < 4; ++c) {
    const auto& k = (*set)[c];
    if (!std::isfinite(k.Slope) || !std::isfinite(k.Offset) || k.Slope == 0.0f) return;
  }
  std::copy(set->begin(), set->end(), activeCoeff_);
}

void VirtualUnit::SetReferencePressure(int line, std::optional<double> mmhg) {
  if (line >= 0 && line < 4) lines_[line].SetReference(mmhg);
}

void VirtualUnit::SetTransducerError(int t, double gain, double offset) {
  if (t >= 0 && t < 4) terr_[t] = TransducerConfig{gain, offset};
}

void VirtualUnit::ConsumeOutput(size_t n) {
  n = std::min(n, out_.size());
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
}

void VirtualUnit::Emit(const uint8_t* bytes, size_t n, bool packet) {
  if (frame_ < silentUntil_) {
    if (packet) ++stats_.packets_dropped;
    return;
  }
  if (packet) {
    if (outLimit_ && out_.size() >= outLimit_) {
      ++stats_.packets_dropped;
      return;
    }
    ++stats_.packets_sent;
  }
  const bool corrupt = frame_ < corruptUntil_, drop = frame_ < dropUntil_;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = bytes[i];
    if (drop && u(faultRng_) < dropRate_) continue;
    if (corrupt && u(faultRng_) < corruptRate_) b ^= static_cast<uint8_t>(1 + faultRng_() % 255);
    out_.push_back(b);
  }
}

void VirtualUnit::Reply(const uint8_t* bytes, size_t n) { Emit(bytes, n, false); }

void VirtualUnit::Receive(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    auto cmd = parser_.Feed(data[i]);
    if (!cmd) continue;
    ++stats_.commands;
    if (frame_ < unansweredUntil_) {
      ++stats_.commands_ignored;
      continue;
    }
    stats_.last_command_frame = frame_;  // the watchdog counts from here
    HandleCommand(*cmd);
  }
}

void VirtualUnit::HandleCommand(const Command& c) {
  uint8_t reply[1 + kCoeffPayloadLength] = {static_cast<uint8_t>(kReplyBase + (c.code - kCmdShakeHand))};
  size_t len = 1;
  switch (c.code) {
    case kCmdShakeHand: break;
    case kCmdGetVersion:
      for (int i = 0; i < 3; ++i) reply[1 + i] = cfg_.version[i] & 0x7F;
      len = 4;
      break;
    case kCmdBeginSample:
      if (!sampling_) streamStart_ = frame_;
      sampling_ = true;
      break;
    case kCmdStopSample: sampling_ = false; break;
    case kCmdSetFactor: {
      std::array<uint8_t, kCoeffPayloadLength> block;
      std::copy(c.bytes.begin() + 1, c.bytes.begin() + 1 + kCoeffPayloadLength, block.begin());
      if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; }))
        stored_.reset();
      else
        stored_ = block;
      // The memory changes, the transducers do not: they keep the scale they
      // were built with, so that a host's calibration changes what it reads.
      break;
    }
    case kCmdGetFactor:
      if (stored_) std::copy(stored_->begin(), stored_->end(), reply + 1);
      len = 1 + kCoeffPayloadLength;
      break;
    case kCmdPump: {
      const PumpCommand p = DecodePump(c.bytes.data());
      if (!p.valid) return;  // unknown line code: no effect, no reply
      ++stats_.pump_commands;
      if (p.level > 0) {
        ++stats_.pump_on_commands;
        ++stats_.pump_on_since_all_off;
        stats_.last_pump_on_frame = frame_;
      } else if (p.line == -1) {
        ++stats_.all_off_commands;
        stats_.pump_on_since_all_off = 0;
      }
      for (int l = 0; l < 4; ++l)
        if (p.line == -1 || p.line == l) lines_[l].SetPump(p.level);
      break;
    }
    case kCmdGap: {
      const GapCommand g = DecodeGap(c.bytes[1]);
      for (int l = 0; l < 4; ++l)
        if (g.line == -1 || g.line == l) lines_[l].SetValve(g.open);
      break;
    }
    default: return;
  }
  Reply(reply, len);
}

int32_t VirtualUnit::Counts(int t, double mmhg) {
  const double measured =
      mmhg * (1.0 + terr_[t].gain_error) + terr_[t].offset_error_mmhg + cfg_.noise_mmhg * gauss_(noiseRng_);
  const double c = (measured - activeCoeff_[t].Offset) / activeCoeff_[t].Slope;
  return static_cast<int32_t>(std::clamp(std::lround(c), -0x800000L, 0x7FFFFFL));
}

void VirtualUnit::StartFault(FaultEvent e) {
  const int64_t until = frame_ + static_cast<int64_t>(std::llround(e.duration_s * kFramesPerSecond));
  switch (e.kind) {
    case FaultEvent::kCorrupt:
      corruptUntil_ = until;
      corruptRate_ = e.rate;
      break;
    case FaultEvent::kDrop:
      dropUntil_ = until;
      dropRate_ = e.rate;
      break;
    case FaultEvent::kSilence: silentUntil_ = until; break;
    case FaultEvent::kUnanswered: unansweredUntil_ = until; break;
    case FaultEvent::kHangup: hangup_ = e.duration_s; break;
    case FaultEvent::kGarbage: {
      std::vector<uint8_t> g(static_cast<size_t>(e.bytes));
      for (auto& b : g) b = static_cast<uint8_t>(faultRng_());
      // Garbage is line noise: it goes out even over the output limit.
      out_.insert(out_.end(), g.begin(), g.end());
      break;
    }
  }
}

std::optional<double> VirtualUnit::TakeHangup() {
  auto h = hangup_;
  hangup_.reset();
  return h;
}

void VirtualUnit::Advance(int64_t frames) {
  constexpr double kDt = 1.0 / kFramesPerSecond;
  for (int64_t i = 0; i < frames; ++i) {
    const double t = TimeS();
    while (nextFault_ < schedule_.size() && schedule_[nextFault_].at_s <= t + 1e-9) StartFault(schedule_[nextFault_++]);
    const SiteSample s = phys_.Sample(t);
    RawFrame f;
    for (int l = 0; l < 4; ++l) {
      lines_[l].Step(kDt, s.pressure[SiteOfLine(l)]);
      f.transducer[l] = Counts(l, lines_[l].Pressure());
    }
    Protect();
    f.ecg = static_cast<uint16_t>(std::clamp(std::lround(2130.0 + 665.0 * s.ecg_mv), 0L, 4095L));
    f.pcg = static_cast<uint16_t>(std::clamp(std::lround(2130.0 + 100.0 * s.pcg), 0L, 4095L));
    last_ = f;
    if (sampling_) {
      const auto packet = EncodeDataRaw(f);
      Emit(packet.data(), packet.size(), true);
    }
    ++frame_;
  }
}

bool VirtualUnit::ReleaseAll() {
  bool changed = false;
  for (CuffLine& l : lines_) {
    if (l.Level() > 0 || l.PumpRunning() || !l.ValveOpen()) changed = true;
    l.SetPump(0);
    l.SetValve(true);
  }
  return changed;
}

void VirtualUnit::Protect() {
  // The firmware sees what its transducers read (their gain and offset
  // errors included, not their noise: it filters).
  bool over = false, held = false;
  for (int l = 0; l < 4; ++l) {
    const CuffLine& line = lines_[l];
    const double read = line.Pressure() * (1.0 + terr_[l].gain_error) + terr_[l].offset_error_mmhg;
    if (read >= cfg_.firmware.ceiling_mmhg) over = true;
    if (read > kWatchdogMinMmhg && (line.PumpRunning() || !line.ValveOpen())) held = true;
  }
  if (over) {
    // A line held at the ceiling by the calibrator counts once, not every frame.
    if (ReleaseAll()) ++stats_.firmware_ceiling_trips;
    return;
  }
  if (!held) return;
  const int64_t quiet_since = std::max<int64_t>(stats_.last_command_frame, 0);
  const auto limit = static_cast<int64_t>(std::llround(cfg_.firmware.watchdog_s * kFramesPerSecond));
  if (frame_ - quiet_since >= limit && ReleaseAll()) ++stats_.firmware_watchdog_trips;
}

nlohmann::json VirtualUnit::GroundTruth() const {
  using nlohmann::json;
  json j;
  j["time_s"] = TimeS();
  j["frame"] = frame_;
  j["stream_start_frame"] = streamStart_;
  j["height_cm"] = cfg_.height_cm;
  j["lines23"] = lines_[2].IsToe() ? "toe" : "ankle";
  const double t_now = TimeS();
  const std::vector<Beat> beats = phys_.BeatsUntil(t_now);
  double hr = cfg_.heart_rate_bpm;
  if (beats.size() >= 2) hr = 60.0 * static_cast<double>(beats.size() - 1) / (beats.back().r - beats.front().r);
  j["heart_rate_bpm"] = hr;
  json sites = json::object();
  double sbp[kSiteCount];
  for (int s = 0; s < kSiteCount; ++s) {
    const SiteConfig& sc = cfg_.site[s];
    sbp[s] = sc.sbp;
    sites[kSiteKey[s]] = {{"sbp", sc.sbp},
                          {"dbp", sc.dbp},
                          {"map", phys_.MeanPressure(s)},
                          {"path_cm", phys_.PathCm(s)},
                          {"delay_s", phys_.DelayS(s)}};
  }
  j["sites"] = sites;
  const double bra = std::max(sbp[kRBra], sbp[kLBra]);
  j["abi"] = {{"right", sbp[kRAnk] / bra}, {"left", sbp[kLAnk] / bra}};
  j["tbi"] = {{"right", sbp[kRToe] / bra}, {"left", sbp[kLToe] / bra}};
  // Brachial-ankle velocity: path length difference over foot-to-foot delay.
  auto bapwv = [&](int arm, int ankle) {
    return (phys_.PathCm(ankle) - phys_.PathCm(arm)) / (phys_.DelayS(ankle) - phys_.DelayS(arm));
  };
  j["bapwv_cm_s"] = {{"right", bapwv(kRBra, kRAnk)}, {"left", bapwv(kLBra, kLAnk)}};
  json r = json::array(), s1 = json::array(), s2 = json::array();
  std::string types;
  json feet = json::object();
  for (int s = 0; s < kSiteCount; ++s) feet[kSiteKey[s]] = json::array();
  for (const Beat& b : beats) {
    r.push_back(b.r);
    types.push_back(b.premature ? 'V' : 'N');
    if (b.s1 <= t_now) s1.push_back(b.s1);
    if (b.s2 <= t_now) s2.push_back(b.s2);
    for (int s = 0; s < kSiteCount; ++s)
      if (b.foot[s] <= t_now) feet[kSiteKey[s]].push_back(b.foot[s]);
  }
  j["beats"] = {{"r_peak_s", r}, {"type", types}, {"s1_onset_s", s1}, {"s2_onset_s", s2}, {"foot_s", feet}};
  return j;
}

}  // namespace nel::sim
