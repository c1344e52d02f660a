// nelctl calibrate zero|gain: the pressure calibration workflows.
//
//   nelctl calibrate zero [--store] [unit options]
//   nelctl calibrate gain [--channels 0,1,2,3] [--store] [unit options]
//   unit options: --port N | --simulate [--speed X] [--subject FILE]; --json
//
// Both stream from the unit and hand every frame's transducer counts to the
// library's calibration object, one call per frame, as a host must.
// `zero` vents the cuffs and runs TnelZeroPressureAdjust on channels 0 to 3;
// `gain` closes the listed channels' valves and walks the user through the two
// reference pressures of TnelPressureAdjust (with --simulate the virtual unit's
// calibrator applies them). --store writes the new coefficient set into the
// unit (TnelHardCtl::SetAD2ForceCoeff); with --simulate the result is then
// checked against the virtual unit's pressures. With --json the running
// report and the prompts go to stderr and the result alone to stdout.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nel/link/hard_ctl.h>
#include <nel/nel.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/message_queue.h>
#include "commands.h"
#include "host_loop.h"
#include "platform/console.h"
#include "platform/gbk.h"
#include "unit_check.h"

#ifdef NELCTL_HAVE_SIM
#include "sim/unit_server.h"
#endif

namespace {

using nelctl::Failure;

// The running report: stdout, or stderr with --json.
std::FILE* g_text = stdout;

constexpr int kSimPort = 1;            // the in-process unit hides any device on COM1
constexpr int kStallMs = 3000;         // no frame for this long: the unit stopped
constexpr int kZeroCallLimit = 10100;  // the zero calibration gives up after 10000 calls
constexpr int kCheckFrames = 300;      // one window of the check after storing
constexpr int kCheckWindows = 20;
constexpr int kBacklogFrames = 1200;  // a line's backlog (about 16 KiB) and the moving average
constexpr double kSettledMmHg = 0.01;
constexpr double kWanted[2] = {100.0, 200.0};

struct UnitOptions {
  int port = 0;  // 0: search
  bool simulate = false;
  double speed = 1.0;
  std::string subject;
  bool json = false;
};

void AddUnitOptions(CLI::App* cmd, UnitOptions& o) {
  cmd->add_flag("--simulate", o.simulate, "Use the built-in virtual unit");
  cmd->add_option("--speed", o.speed, "Virtual unit: virtual time per real time")->check(CLI::Range(1.0, 50.0));
  cmd->add_option("--subject", o.subject, "Virtual unit: subject file (JSON)")->check(CLI::ExistingFile);
  nelctl::AddPortOption(cmd, o.port);
  cmd->add_flag("--json", o.json, "Print the result as JSON (the report and prompts go to stderr)");
}

nlohmann::json CoeffJson(const tagAD_FORCE_CONVERT& c) {
  return {{"slope", static_cast<double>(c.Slope)}, {"offset", static_cast<double>(c.Offset)}};
}

// The library's diagnostic texts are code page 936 bytes; shown here as UTF-8.
void ShowDiagnostic(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char* text,
                    size_t len, void*) {
  std::string out = nel::platform::GbkToUtf8(std::string_view(text, len));
  if (out.empty() || out.back() != '\n') out += '\n';
  std::fprintf(stderr, "nel: %s", out.c_str());
}

// One unit, streaming, driven the way a host must: a tight loop of processing
// passes, and a message-queue timer that keeps the passes going while a
// command waits for its reply (replies are unpacked by the sample stream).
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the virtual unit or finds the unit, opens it and starts sampling
  // with the coefficients read from it. Throws Failure when no unit answers.
  void Open(const UnitOptions& o) {
    nel::platform::SetDiagnosticSink(&ShowDiagnostic, nullptr);
    if (o.simulate) {
#ifdef NELCTL_HAVE_SIM
      nel::sim::SubjectConfig cfg;
      std::string error;
      if (!o.subject.empty() && !nel::sim::LoadSubjectFile(o.subject, cfg, &error))
        throw Failure(error, nelctl::kStatusFailure);
      nel::sim::UnitServer::Options so;
      so.speed = o.speed;
      so.port = kSimPort;
      sim_ = std::make_unique<nel::sim::UnitServer>(cfg, so);
      if (!sim_->Start(&error)) throw Failure("cannot start the virtual unit: " + error);
      port_ = kSimPort;
#else
      throw Failure("this nelctl is built without the virtual unit");
#endif
    } else {
      port_ = nelctl::FindPort(o.port);
    }
    nelctl::ReadUnitVersion(port_);  // a missing, busy or silent port fails here
    if (!ctl_.SetComPortNo(port_))
      throw Failure("port " + nelctl::DescribePort(port_) + " is busy", nelctl::kStatusBusy);
    opened_ = true;
    timer_ = nel::platform::MessageQueue::Current().SetTimer(1, [this] { Pass(); });
    ctl_.StartADSample(true);
    // A port that opens but sends nothing has no unit behind it.
    if (!Stream([](const tagSAM_DATA&) { return false; }, 1))
      throw Failure("no unit answers on COM" + std::to_string(port_), nelctl::kStatusNoUnit);
  }

  ~Session() {
    nel::platform::SetDiagnosticSink(nullptr, nullptr);
    if (timer_) nel::platform::MessageQueue::Current().KillTimer(timer_);
    if (opened_) {
      ctl_.StopADSample();
      ctl_.CloseCom();
    }
#ifdef NELCTL_HAVE_SIM
    if (sim_) sim_->Stop();
#endif
  }

  // Hands frames to `each` until it returns false or `maxFrames` have passed.
  // False when the unit stops streaming.
  bool Stream(const std::function<bool(const tagSAM_DATA&)>& each, int maxFrames) {
    consumer_ = &each;
    remaining_ = maxFrames;
    stopped_ = false;
    auto lastFrame = std::chrono::steady_clock::now();
    while (!stopped_ && remaining_ > 0) {
      if (Pass() > 0) {
        lastFrame = std::chrono::steady_clock::now();
      } else {
        if (std::chrono::steady_clock::now() - lastFrame > std::chrono::milliseconds(kStallMs)) {
          consumer_ = nullptr;
          return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    }
    consumer_ = nullptr;
    return true;
  }

  // Pressure of every channel once it has settled: the means of two windows
  // of kCheckFrames frames in a row agree within kSettledMmHg (frames already
  // on their way when the pressure changed are waited out this way).
  std::vector<double> ReadPressures() {
    // Frames produced before the change may still wait in the receive ring
    // and on the line: take what has arrived until a pass finds nothing, then
    // let the line's backlog and the 200-frame moving average pass.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Pass() > 0 && std::chrono::steady_clock::now() < deadline) {
    }
    if (!Stream([](const tagSAM_DATA&) { return true; }, kBacklogFrames))
      throw Failure("the unit stopped streaming", nelctl::kStatusDeviceLost);
    std::vector<double> previous;
    for (int window = 0; window < kCheckWindows; ++window) {
      std::vector<double> sum(6, 0.0);
      if (!Stream(
              [&](const tagSAM_DATA& f) {
                for (int c = 0; c < 6; ++c) sum[c] += f.Pressure[c];
                return true;
              },
              kCheckFrames))
        throw Failure("the unit stopped streaming", nelctl::kStatusDeviceLost);
      for (double& v : sum) v /= kCheckFrames;
      bool settled = !previous.empty();
      for (int c = 0; c < 6 && settled; ++c) settled = std::fabs(sum[c] - previous[c]) < kSettledMmHg;
      if (settled) return sum;
      previous = sum;
    }
    return previous;
  }

  void SetReference(int line, std::optional<double> mmhg) {
#ifdef NELCTL_HAVE_SIM
    if (sim_) sim_->WithUnit([&](nel::sim::VirtualUnit& u) { u.SetReferencePressure(line, mmhg); });
#else
    (void)line;
    (void)mmhg;
#endif
  }

  TnelHardCtl& Ctl() { return ctl_; }
  int Port() const { return port_; }

 private:
  int Pass() {
    tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
    const int n = ctl_.ReadOnceData(frames);
    for (int i = 0; i < n; ++i) {
      if (!consumer_ || stopped_ || remaining_ <= 0) break;  // frames during commands are not the user's
      --remaining_;
      if (!(*consumer_)(frames[i])) stopped_ = true;
    }
    return n;
  }

#ifdef NELCTL_HAVE_SIM
  std::unique_ptr<nel::sim::UnitServer> sim_;
#endif
  TnelHardCtl ctl_;
  int port_ = -1;
  bool opened_ = false;
  int timer_ = 0;
  const std::function<bool(const tagSAM_DATA&)>* consumer_ = nullptr;
  int remaining_ = 0;
  bool stopped_ = false;
};

void PrintReadings(const char* what, const std::vector<double>& p, const std::vector<int>& channels) {
  for (int c : channels) std::fprintf(g_text, "%s: channel %d reads %.2f mmHg\n", what, c, p[c]);
}

// --- zero ------------------------------------------------------------------

struct ZeroOptions {
  UnitOptions unit;
  bool store = false;
};

// Each channel's outcome, printed and as the result object.
nlohmann::json ZeroReport(int port, const TnelZeroPressureAdjust& zero, const tagAD_FORCE_CONVERT* before,
                          const tagAD_FORCE_CONVERT* coeffs) {
  nlohmann::json result = {{"port", port}, {"channels", nlohmann::json::array()}, {"stored", false}};
  for (int c = 0; c < 4; ++c) {
    if (zero.ChlDone[c])
      std::fprintf(g_text, "channel %d: zeroed, offset %.4f -> %.4f mmHg\n", c, before[c].Offset, coeffs[c].Offset);
    else
      std::fprintf(g_text, "channel %d: not steady, offset kept at %.4f mmHg\n", c, before[c].Offset);
    result["channels"].push_back({{"channel", c},
                                  {"zeroed", zero.ChlDone[c]},
                                  {"before", CoeffJson(before[c])},
                                  {"after", CoeffJson(coeffs[c])}});
  }
  std::fflush(g_text);
  return result;
}

void RunZero(const ZeroOptions& o) {
  if (o.unit.json) g_text = stderr;
  Session s;
  s.Open(o.unit);
  std::fprintf(g_text, "unit on COM%d; zero calibration of channels 0 to 3: cuffs vented, keep them open to the air\n",
               s.Port());
  s.Ctl().RapidDeflate(-1, true);  // every pump off, every valve open

  tagAD_FORCE_CONVERT before[6], coeffs[6];
  s.Ctl().GetAD2ForceCoeff(before);
  std::copy(before, before + 6, coeffs);
  TnelZeroPressureAdjust zero;
  bool reported[4] = {};
  int calls = 0;
  const bool streamed = s.Stream(
      [&](const tagSAM_DATA& f) {
        int ad[4] = {f.Wave[2], f.Wave[3], f.Wave[4], f.Wave[5]};
        zero.StartPressureAdjust(ad, nullptr, coeffs, nullptr);
        ++calls;
        for (int c = 0; c < 4; ++c) {
          if (zero.ChlDone[c] && !reported[c]) {
            reported[c] = true;
            std::fprintf(g_text, "channel %d steady after %.1f s\n", c, calls / 1000.0);
          }
        }
        if (calls % 1000 == 0 && !zero.Finished)
          std::fprintf(g_text, "%d s: waiting for steady pressure\n", calls / 1000);
        std::fflush(g_text);
        return !zero.Finished;
      },
      kZeroCallLimit);
  if (!streamed) throw Failure("the unit stopped streaming during the calibration", nelctl::kStatusDeviceLost);

  nlohmann::json result = ZeroReport(s.Port(), zero, before, coeffs);
  if (!zero.Success) {
    // A partial result is not stored: see docs/decisions.md, "`nelctl calibrate zero`".
    throw Failure("zero calibration failed: not every channel became steady (see " + std::string(zero.Path) + ")",
                  nelctl::kStatusIncomplete, result);
  }
  if (!o.store) {
    std::fprintf(g_text, "not stored (use --store to write the coefficients into the unit)\n");
  } else {
    s.Ctl().SetAD2ForceCoeff(coeffs);
    result["stored"] = true;
    std::fprintf(g_text, "stored in the unit\n");
    const std::vector<double> after = s.ReadPressures();
    PrintReadings("after storing", after, {0, 1, 2, 3, 4, 5});
    result["afterStoring"] = after;
  }
  if (o.unit.json) nelctl::PrintJson("calibrate zero", result);
}

// --- gain ------------------------------------------------------------------

struct GainOptions {
  UnitOptions unit;
  bool store = false;
  std::string channels = "0,1,2,3";
};

// The channel list of --channels: one to four distinct channels 0 to 3;
// empty with `error` set when the text is not such a list.
std::vector<int> ParseChannels(const std::string& text, std::string* error) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t used = 0;
    int c = -1;
    try {
      c = std::stoi(item, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != item.size() || c < 0 || c > 3) {
      *error = "\"" + item + "\" is not a transducer channel 0 to 3";
      return {};
    }
    for (int d : out) {
      if (d == c) {
        *error = "channel " + item + " is listed twice";
        return {};
      }
    }
    out.push_back(c);
  }
  if (out.empty() || out.size() > 4) {
    *error = "list one to four channels";
    return {};
  }
  return out;
}

// True once the user has pressed Enter; throws when the input is closed.
// Reads one byte at a time so that a second line stays for the next point.
bool EnterPressed() {
  for (;;) {
    char c = 0;
    const nel::platform::InputByte got = nel::platform::TakeInputByte(c);
    if (got == nel::platform::InputByte::kNone) return false;
    if (got == nel::platform::InputByte::kClosed)
      throw Failure("input closed before the reference pressure was confirmed", nelctl::kStatusIncomplete);
    if (c == '\n') return true;
  }
}

// Streams until the calibration object has measured both reference
// pressures: with --simulate the calibrator applies each, otherwise the user
// applies it and confirms with Enter. `list` names the channels.
void MeasureGainPoints(Session& s, TnelPressureAdjust& adj, const std::vector<int>& channels, const std::string& list,
                       bool simulate) {
  std::vector<int> ad(channels.size());
  adj.StartPressureAdjust(const_cast<int*>(channels.data()), static_cast<int>(channels.size()));
  bool waitingForUser = false;
  // No frame limit: the user takes the time the calibrator needs; each point
  // is then measured over 3000 frames.
  const bool streamed = s.Stream(
      [&](const tagSAM_DATA& f) {
        for (size_t i = 0; i < channels.size(); ++i) ad[i] = f.Wave[2 + channels[i]];
        const typeADJ_RET_STYLE r = adj.PressureAdjustProc(ad.data());
        if (r == ADJ_DONE) return false;
        if (r == ADJ_NONE) {
          if (waitingForUser && EnterPressed()) {
            waitingForUser = false;
            std::fprintf(g_text, "pressure confirmed; measuring\n");
            std::fflush(g_text);
            adj.WantedPressureOK();
          }
          return true;
        }
        const double wanted = kWanted[r == ADJ_STEP1 ? 0 : 1];
        if (simulate) {
          for (int c : channels) s.SetReference(c, wanted);
          std::fprintf(g_text, "point %d: the calibrator applies %.0f mmHg; measuring\n", r, wanted);
          adj.WantedPressureOK();
        } else {
          std::fprintf(g_text, "point %d: apply %.0f mmHg to channels %s, then press Enter\n", r, wanted, list.c_str());
          waitingForUser = true;
        }
        std::fflush(g_text);
        return true;
      },
      INT32_MAX);
  if (!streamed) throw Failure("the unit stopped streaming during the calibration", nelctl::kStatusDeviceLost);
}

// With --simulate after storing: what the channels read at each reference pressure.
nlohmann::json CheckStoredGains(Session& s, const std::vector<int>& channels) {
  nlohmann::json check = nlohmann::json::array();
  for (double p : kWanted) {
    for (int c : channels) s.SetReference(c, p);
    char what[64];
    std::snprintf(what, sizeof what, "calibrator at %.0f mmHg", p);
    const std::vector<double> read = s.ReadPressures();
    PrintReadings(what, read, channels);
    nlohmann::json reads = nlohmann::json::object();
    for (int c : channels) reads[std::to_string(c)] = read[c];
    check.push_back({{"calibrator", p}, {"reads", reads}});
  }
  return check;
}

void RunGain(const GainOptions& o) {
  std::string error;
  const std::vector<int> channels = ParseChannels(o.channels, &error);
  if (channels.empty()) throw Failure("--channels: " + error, nelctl::kStatusUsage);
  if (o.unit.json) g_text = stderr;
  std::string list;
  for (int c : channels) list += (list.empty() ? "" : ",") + std::to_string(c);
  Session s;
  s.Open(o.unit);
  std::fprintf(g_text, "unit on COM%d; two-point calibration of channels %s\n", s.Port(), list.c_str());
  for (int c : channels) s.Ctl().RapidDeflate(c, false);  // valves closed: the lines hold the reference

  TnelPressureAdjust adj;
  MeasureGainPoints(s, adj, channels, list, o.unit.simulate);

  tagAD_FORCE_CONVERT coeffs[6];
  s.Ctl().GetAD2ForceCoeff(coeffs);
  nlohmann::json result = {{"port", s.Port()}, {"channels", nlohmann::json::array()}, {"stored", false}};
  for (size_t i = 0; i < channels.size(); ++i) {
    const int c = channels[i];
    float gain = 0, offset = 0;
    adj.GetAdjustCoeff(&gain, &offset, static_cast<int>(i));
    std::fprintf(g_text, "channel %d: counts %d at %.0f and %d at %.0f mmHg; slope %.9g -> %.9g, offset %.4f -> %.4f\n",
                 c, adj.Avg1[i], kWanted[0], adj.Avg2[i], kWanted[1], coeffs[c].Slope, gain, coeffs[c].Offset, offset);
    const tagAD_FORCE_CONVERT before = coeffs[c];
    coeffs[c] = {gain, offset};
    result["channels"].push_back({{"channel", c},
                                  {"counts", {adj.Avg1[i], adj.Avg2[i]}},
                                  {"mmhg", {kWanted[0], kWanted[1]}},
                                  {"before", CoeffJson(before)},
                                  {"after", CoeffJson(coeffs[c])}});
    if (c == BP_RANK) coeffs[BP_RTOE] = coeffs[c];  // the toe cuffs share the ankle transducers
    if (c == BP_LANK) coeffs[BP_LTOE] = coeffs[c];
  }
  std::fflush(g_text);
  if (!o.store) {
    std::fprintf(g_text, "not stored (use --store to write the coefficients into the unit)\n");
  } else {
    s.Ctl().SetAD2ForceCoeff(coeffs);
    result["stored"] = true;
    std::fprintf(g_text, "stored in the unit\n");
    if (o.unit.simulate) result["check"] = CheckStoredGains(s, channels);
  }
  for (int c : channels) s.SetReference(c, std::nullopt);
  for (int c : channels) s.Ctl().RapidDeflate(c, true);
  if (o.unit.json) nelctl::PrintJson("calibrate gain", result);
}

void Setup(CLI::App& program) {
  auto* cmd = program.add_subcommand("calibrate", "Calibrate the unit's pressure transducers");
  cmd->require_subcommand(1);

  static ZeroOptions zero;
  auto* z = cmd->add_subcommand("zero", "Zero point of channels 0 to 3 (cuffs open to the air)");
  AddUnitOptions(z, zero.unit);
  z->add_flag("--store", zero.store, "Write the new coefficients into the unit");
  z->callback([] { RunZero(zero); });

  static GainOptions gain;
  auto* g = cmd->add_subcommand("gain", "Two-point gain calibration at 100 and 200 mmHg");
  AddUnitOptions(g, gain.unit);
  g->add_option("--channels", gain.channels, "Transducer channels, e.g. 0,1,2,3")
      ->check(CLI::Validator(
          [](std::string& text) {
            std::string error;
            ParseChannels(text, &error);
            return error;
          },
          "CHANNELS", "channel list"));
  g->add_flag("--store", gain.store, "Write the new coefficients into the unit");
  g->callback([] { RunGain(gain); });
}

nelctl::NelctlCommand registered("calibrate", &Setup);

}  // namespace
