// The byte protocol on an in-process device whose sink plays the unit (a reply
// is unpacked at once), against the golden records under tests/link/golden/.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <string>

#include <nel/link/category_layout.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/last_error.h>
#include "../common/golden.h"
#include "../common/pty_peer.h"
#include "link/hardware_info_file.h"
#include "link_seams.h"

namespace {

using nel::test::Bytes;
using nel::test::Cat;

std::string Hex(const Bytes& b) {
  std::string s;
  char t[4];
  for (uint8_t x : b) s += (std::snprintf(t, sizeof t, "%02x ", x), t);
  return s.empty() ? "- " : s;
}

Bytes Frame(int ecg, int pcg, int32_t a, int32_t b, int32_t c, int32_t d) {
  const int32_t t[4] = {a, b, c, d};
  return nel::test::DataRawFrame(ecg, pcg, t);
}

// A unit behind an in-process device: records what the library writes and
// answers a request code with its reply, unpacked before the wait begins.
struct InProcessUnit {
  TnelHardCtl ctl;
  QXProtocol& proto = ctl.GetSamThread()->Protocol();
  Bytes written;
  std::map<uint8_t, Bytes> answers = {{0x80, {0xF0}}, {0x82, {0xF2}}, {0x84, {0xF4}}, {0x81, {0xF1, 1, 2, 0x7F}}};
  InProcessUnit() {
    EXPECT_TRUE(proto.OpenInProcess(&Sink, this));
    for (int i = 0; i < 63; ++i) answers[0x85].push_back(static_cast<uint8_t>(i == 0 ? 0xF5 : 100 - i));
  }
  static void Sink(const unsigned char* bytes, int n, void* context) {
    auto* u = static_cast<InProcessUnit*>(context);
    EXPECT_GT(n, 0) << "an empty write reached the device";
    u->written.insert(u->written.end(), bytes, bytes + n);
    const auto a = u->answers.find(bytes[0]);
    if (a != u->answers.end())
      for (uint8_t b : a->second) u->proto.UnpackData(b, nullptr, nullptr);
  }
  // Stores `bytes` as the reader would, in pieces of varied sizes (a pass
  // unpacks what one piece brought as one block, so frames are cut anywhere),
  // and returns every frame decoded from them.
  std::vector<tagSAM_DATA> Receive(const Bytes& bytes) {
    static constexpr size_t kPieces[] = {512, 1, 2, 3, 5, 18, 19, 20, 37};
    std::vector<tagSAM_DATA> frames;
    tagSAM_DATA out[TSamThread::kMaxFramesPerCall];
    for (size_t at = 0, k = 0; at < bytes.size(); ++k) {
      const size_t piece = std::min(kPieces[k % std::size(kPieces)], bytes.size() - at);
      proto.InjectReceived(bytes.data() + at, static_cast<int>(piece));
      for (int n; (n = ctl.ReadOnceData(out)) > 0;) frames.insert(frames.end(), out, out + n);
      at += piece;
    }
    return frames;
  }
};

int32_t Varied(int i) { return 200000 + 37 * i + (i % 7) * 1000 - (i % 13) * 777; }

TEST(LinkFrames, DecodedStreamWithCorruptionMatchesTheGoldenRecords) {
  InProcessUnit u;
  tagAD_FORCE_CONVERT set[6];
  for (int c = 0; c < 6; ++c) set[c] = {0.0003f + 0.00001f * static_cast<float>(c), -10.0f + static_cast<float>(c)};
  set[BP_LTOE].Slope = std::numeric_limits<float>::quiet_NaN();
  u.ctl.GetSamThread()->SetAD2ForceCoeff(set);

  const Bytes a = Frame(0xABC, 0x5DE, 0x123456, -1, 0x800000, 0x7FFFFF);
  const Bytes b = Frame(0x000, 0xFFF, -5, 0x012345, 0x400000, -0x400000);
  const Bytes c = Frame(0x080, 0x800, 0x808080, 0x00FF00, -0x7FFFFF, 1);
  const Bytes d = Frame(0x7FF, 0x001, 0x3FFFFF, -2, 200000, 1234567);
  const auto head = [](const Bytes& f, size_t n) { return Bytes(f.begin(), f.begin() + static_cast<long>(n)); };
  const auto tail = [](const Bytes& f, size_t n) { return Bytes(f.begin() + static_cast<long>(n), f.end()); };
  // clang-format off
  const Bytes corrupt = Cat({{0x01, 0x02, 0x7F}, head(a, 10), {0x91}, tail(a, 10), {0x88, 0xEF, 0xF8, 0xFF}, a, {0x11, 0x22},
                             head(b, 5), b, head(c, 12), {0xF3}, c, {0xF1, 1, 2, 3}, d, {0xF0, 0xF7}, head(d, 18)});
  // clang-format on
  std::string text;
  const auto record = [&](const char* part, const std::vector<tagSAM_DATA>& frames, size_t every) {
    char v[32];
    for (size_t i = 0; i < frames.size(); ++i) {
      if (i % every != 0 && i + 1 != frames.size()) continue;
      text.append(part).append(" ").append(std::to_string(i));
      for (int32_t w : frames[i].Wave) text.append(" ").append(std::to_string(w));
      for (float p : frames[i].Pressure) text += (std::snprintf(v, sizeof v, " %.4f", p), v);
      text += "\n";
    }
  };
  record("corrupt", u.Receive(corrupt), 1);
  text += "events";
  for (int e = 0; e < QXProtocol::kCommandCount; ++e) text += u.proto.Entry(e).Event->IsSet() ? " 1" : " 0";
  text += "\nopen " + std::to_string(u.proto.Pack().Code) + "\n";

  // The moving average over a growing, then a 200-frame window.
  u.ctl.ClearDataBuff();
  Bytes run;
  for (int i = 0; i < 230; ++i)
    run = Cat({run, Frame(i & 0xFFF, (3 * i) & 0xFFF, Varied(i), Varied(i) / 2, -Varied(i), Varied(i) + 5)});
  record("average", u.Receive(run), 10);

  // A constant input held past the frame count's 32-bit limits.
  u.ctl.ClearDataBuff();
  Bytes still;
  for (int i = 0; i < 200; ++i) still = Cat({still, Frame(0, 0, 1234567, 1234567, 1234567, 1234567)});
  record("still", u.Receive(still), 200);
  for (const int64_t start : {(int64_t{1} << 31) - 3, (int64_t{1} << 32) - 3}) {
    nel::test::SamSeams::FrameCountAt(*u.ctl.GetSamThread(), start);
    record(start < (int64_t{1} << 32) - 3 ? "past31" : "past32", u.Receive(head(still, 5 * 19)), 1);
  }
  nel::golden::Check(
      "link/golden/decoded_stream.txt", text,
      "Frames TSamThread decoded from an in-process device's ring (tests/link/frames_test.cpp): part, index,\n"
      "Wave[0..7] (ECG PCG RBra LBra RAnk LAnk RToe LToe), Pressure[0..5] mmHg; slope 0.0003+0.00001c, offset\n"
      "-10+c, LToe's slope NaN. corrupt: the stream in the test; 'events': reply events set; 'open': code of\n"
      "the frame being collected. average: 230 frames (every 10th); still: 200 frames of 1234567, then 5 with\n"
      "the count at 2^31-3 and 2^32-3. Remake: NEL_UPDATE_GOLDEN=1 nel_link_tests --gtest_filter=LinkFrames.*");
}

// Every command's bytes, its result and the pneumatic state kept after it.
TEST(LinkFrames, CommandBytesMatchTheGoldenRecords) {
  InProcessUnit u;
  TnelHardCtl& ctl = u.ctl;
  QXProtocol& p = u.proto;
  unsigned char frame[63];
  for (int i = 0; i < 63; ++i) frame[i] = static_cast<unsigned char>(i);
  unsigned char v[3] = {9, 9, 9};
  int written = -1;
  // clang-format off
#define ROW(...) {#__VA_ARGS__, [&] { return __VA_ARGS__; }}
#define DO(...) {#__VA_ARGS__, [&] { return __VA_ARGS__, true; }}
  const std::vector<std::pair<const char*, std::function<bool()>>> rows = {
      ROW(p.EndSample()), ROW(p.ShakeHand()), ROW(p.BeginSample()), ROW(p.WriteBytes(v, 0, written) && written == 0),
      ROW(p.GetVersion(v[0], v[1], v[2]) && v[0] == 1 && v[1] == 2 && v[2] == 0x7F),
      ROW(p.SetFactor(frame)), ROW(p.GetFactor(frame) && Bytes(frame, frame + 63) == u.answers[0x85]),
      ROW(p.SetGap(-1, false)), ROW(p.SetGap(-1, true)), ROW(p.SetGap(2, true)), ROW(p.SetGap(3, false)),
      ROW(p.SetGap(4, false)), ROW(p.SetGap(-2, true)),
      ROW(p.SetPump(2, 6000, 0)), ROW(p.SetPump(-1, 0, 0)), ROW(p.SetPump(0, 0x80FF, 0x11)),
      ROW(p.SetPump(3, 0x0180, 0x7F)), ROW(p.SetPump(4, 6000, 0)), ROW(p.SetPump(-2, 6000, 0)),
      ROW(ctl.StartADSample(false)),
      DO(ctl.StartInflate(0, 1, 0)), DO(ctl.StartInflate(10000, 1, 0)), DO(ctl.StartInflate(5000, 1, 10001)),
      DO(ctl.StartInflate(5000, 1, -1)), DO(ctl.StartInflate(9999, 1, 10000)), DO(ctl.StartInflate(1, 0, 0)),
      DO(ctl.StartInflate(6000, BP_RTOE, 50)), DO(ctl.StartInflate(6000, BP_LTOE, 50)),
      DO(ctl.StartInflate(6000, 6, 50)), DO(ctl.StopInflate(BP_LTOE)), DO(ctl.RapidDeflate(0, true)),
      DO(ctl.RapidDeflate(BP_RTOE, true)), DO(ctl.RapidDeflate(-1, false)), DO(ctl.StopInflate(-1)),
      ROW(ctl.DeflateAll()),
      DO((ctl.RunAdjust(), ctl.OpenCloseHardwareEnlarge(true), ctl.OpenCloseHardwareEnlarge(false))),
      DO((ctl.SetPumpLockout(true), ctl.StartInflate(6000, 0, 0))),
      ROW((ctl.StopADSample(), !p.IdleWatch())), DO(ctl.SetAD2ForceCoeff({0.5f, -1.0f}, BP_LANK)),
  };
  // clang-format on
#undef ROW
#undef DO
  std::string text;
  for (const auto& [name, call] : rows) {
    u.written.clear();
    const bool ok = call();
    text += std::string(name) + " -> " + Hex(u.written) + "| " + (ok ? "ok" : "refused") + " | pump";
    for (int l = 0; l < 4; ++l) text += ctl.PumpOn(l) ? " 1" : " 0";
    text += " valve";
    for (int l = 0; l < 4; ++l) text += ctl.ValveClosed(l) ? " 1" : " 0";
    text += ctl.LinesMayHoldPressure() ? " hold\n" : " empty\n";
  }
  nel::golden::Check(
      "link/golden/commands.txt", text,
      "Bytes each call writes to an in-process unit answering 80 82 84 with F0 F2 F4, 81 with F1 01 02 7F; the\n"
      "result ('ok' also for calls without one); PumpOn, ValveClosed of lines 0..3; LinesMayHoldPressure.\n"
      "(tests/link/frames_test.cpp) Remake: NEL_UPDATE_GOLDEN=1 nel_link_tests --gtest_filter=LinkFrames.*");
}

// Which set StartADSample(true) puts in use, what it reports and what it sends.
TEST(LinkFrames, CoefficientSetInUseMatchesTheGoldenRecords) {
  float unitSet[12] = {};  // a calibrated unit; its toe records are empty (not used)
  for (int c = 0; c < 4; ++c) {
    unitSet[2 * c] = nel::kBuiltInCoeff[c].Slope * (1.0f + 0.03f * static_cast<float>(c + 1));
    unitSet[2 * c + 1] = nel::kBuiltInCoeff[c].Offset + 2.5f * static_cast<float>(c + 1);
  }
  struct Case {
    const char* name;
    int index;  // value changed in the unit's set; -1: an all-zero block, -2: the unit is silent
    float value;
    size_t bytesSent;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // clang-format off
  const Case cases[] = {
      {"unit's-set", 0, unitSet[0], 62}, {"all-zero", -1, 0, 62}, {"cut-after-40", 0, unitSet[0], 40},
      {"NaN-slope", 0, nan, 62}, {"infinite-offset", 5, inf, 62}, {"zero-slope", 2, 0.0f, 62},
      {"negative-slope", 6, -unitSet[6], 62}, {"slope-9.9e-5", 4, 9.9e-5f, 62}, {"slope-1e-4", 4, 1.0e-4f, 62},
      {"slope-1e-3", 2, 1.0e-3f, 62}, {"slope-1.01e-3", 4, 1.01e-3f, 62}, {"offset-250", 7, 250.0f, 62},
      {"offset--250", 1, -250.0f, 62}, {"offset-251", 7, 251.0f, 62}, {"offset--251", 1, -251.0f, 62},
      {"silent", -2, 0, 0}};
  // clang-format on
  int warnings = 0;
  nel::platform::SetDiagnosticSink(
      [](nel::platform::DiagKind kind, nel::platform::DiagLevel level, const char*, size_t, const char*, size_t,
         void* count) {
        if (kind == nel::platform::DiagKind::kLog && level == nel::platform::DiagLevel::kWarning)
          ++*static_cast<int*>(count);
      },
      &warnings);
  std::string text;
  for (const Case& k : cases) {
    float values[12];
    std::copy(unitSet, unitSet + 12, values);
    if (k.index >= 0) values[k.index] = k.value;
    InProcessUnit u;
    const Bytes block = k.index == -1 ? Bytes(62, 0) : nel::test::CoeffPayload(values);
    u.answers[0x85] = Cat({{0xF5}, Bytes(block.begin(), block.begin() + static_cast<long>(k.bytesSent))});
    if (k.bytesSent < 62) u.answers[0x85].push_back(0x90);
    if (k.index == -2) u.answers.clear();
    warnings = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool started = u.ctl.StartADSample(true);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2200))
        << k.name << ": one wait at most";
    tagAD_FORCE_CONVERT sam[6];
    u.ctl.GetAD2ForceCoeff(sam);
    char line[200];
    std::snprintf(line, sizeof line, "%s started %d source %d error %d warnings %d sam %s\n  sent ", k.name, started,
                  static_cast<int>(u.ctl.CoeffSource()), static_cast<int>(nel::LastErrorCode()), warnings,
                  std::memcmp(sam, u.ctl.ADForceCoeff, sizeof sam) == 0 ? "same" : "differs");
    text += line + Hex(u.written) + "\n  set";
    for (const auto& c : u.ctl.ADForceCoeff)
      text += (std::snprintf(line, sizeof line, " %.9g %.9g", c.Slope, c.Offset), line);
    text += std::string("\n  says ") + nel::LastErrorText() + "\n";
  }
  nel::platform::SetDiagnosticSink(nullptr, nullptr);
  nel::golden::Check(
      "link/golden/coefficient_sets.txt", text,
      "StartADSample(true) on an in-process unit replying with a calibrated set (c < 4: built-in slope\n"
      "x (1 + 0.03(c+1)), offset + 2.5(c+1)), one value changed, all zero, cut after 40 bytes, or silent:\n"
      "result, CoeffSource, error code, warnings, whether the sampling object holds the same set; bytes\n"
      "sent; ADForceCoeff; error text. (tests/link/frames_test.cpp) Remake: NEL_UPDATE_GOLDEN=1 nel_link_tests");
}

// The category lists, the hardware information file and the diagnostic files.
TEST(LinkFrames, LayoutsAndHardwareInfoMatchTheGoldenRecords) {
  std::string text;
  const auto line = [&](const std::string& head, const auto* v, int n) {
    text += head;
    for (int i = 0; i < n; ++i) text.append(" ").append(std::to_string(static_cast<int>(v[i])));
    text += "\n";
  };
  for (int32_t category = -1; category <= 7; ++category) {
    nel::link::CategoryLayout l;
    l.waveCount = 99;
    const bool known = nel::link::LayoutForCategory(category, l);
    text += "category " + std::to_string(category) + (known ? " known" : " unknown") + " waves " +
            std::to_string(l.waveCount) + " cuffs " + std::to_string(l.cuffCount) + "\n";
    if (!known) continue;
    line(" waves", l.waves, l.waveCount);
    line(" cuffs", l.cuffs, l.cuffCount);
    line(" pulse-positions", l.cuffWavePos, l.cuffCount);
  }
  const auto dir = std::filesystem::temp_directory_path() / ("nel_hardinf_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / nel::link::kHardwareInfoFileName).string();
  const auto info = [&](const char* what, const std::string& file, int32_t unit) {
    tagHARDWAREINF h;
    std::memset(&h, 0x5A, sizeof h);
    nel::link::ReadHardwareInfo(file, unit, &h);
    line(std::string(what) + " " + nel::link::HardwareInfoSection(unit) + " com " + std::to_string(h.ComPort) + " base",
         h.ADBase, 8);
    line(" datum", h.ADDatum, 8);
  };
  info("built-in", "", 0);
  info("no-file", path, 0);
  std::ofstream(path, std::ios::binary) << "[BED1]\r\nCOMPORT=5\r\n[BED4]\r\nCOMPORT=9\r\nADBASE_ECG=2000\r\n"
                                           "ADDATUM_PULSE=1234\r\nADBASE_PCG=-7\r\nADDATUM_ECG=600\r\n";
  for (const int32_t unit : {0, 3, 7}) info("file", path, unit);
  tagHARDWAREINF w = nel::link::BuiltInHardwareInfo();
  w.ComPort = 12;
  for (int k = 0; k < 8; ++k) w.ADBase[k] = 1000 * k + 1, w.ADDatum[k] = 100 * k + 2;
  std::filesystem::remove(path);
  EXPECT_TRUE(nel::link::WriteHardwareInfo(path, 1, w));
  info("written", path, 1);
  std::ifstream in(path, std::ios::binary);
  for (std::string l; std::getline(in, l);) text += "file-line " + l.substr(0, l.find('\r')) + "\n";
  EXPECT_FALSE(nel::link::WriteHardwareInfo((dir / "missing" / "HardInf.ini").string(), 0, w));
  TSamThread sam;  // its six diagnostic files: created empty, each failure told in code page 936
  sam.SetPath(dir.string());
  for (const char* name : {"raw.dt", "unpack.dt", "unpack2.dt", "exceptionPop.dt", "unpackPos.dt", "exception.dt"})
    text += std::string("diag-file ") + name + " " + std::to_string(std::filesystem::file_size(dir / name)) + "\n";
  for (int i = 0; i < 6; ++i) text += sam.FileOpen(i) ? "open " : "closed ";
  sam.CloseFile();
  text += sam.FileOpen(0) ? "then open\n" : "then closed\n";
  nel::platform::SetDiagnosticSink(
      [](nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char* t, size_t n, void* out) {
        *static_cast<std::string*>(out) += "diag-text " + Hex(Bytes(t, t + n)) + "\n";
      },
      &text);
  sam.SetPath((dir / "missing" / "deeper").string());
  nel::platform::SetDiagnosticSink(nullptr, nullptr);
  std::filesystem::remove_all(dir);
  nel::golden::Check("link/golden/tables.txt", text,
                     "LayoutForCategory for -1..7 (waves as tagTYPE_NEL_WAVEDATA, cuffs as tagTYPE_NEL_BPDATA,\n"
                     "pulse-positions the wave position of each cuff's pulse wave; an unknown value leaves the\n"
                     "output untouched: waves 99), then ReadHardwareInfo: built-in (empty path), no file, a file with\n"
                     "sections BED1 and BED4 read for units 0, 3 and 7, and a file written by WriteHardwareInfo for\n"
                     "unit 1 (ComPort 12, base 1000k+1, datum 100k+2) read back, with its lines. TSamThread's\n"
                     "diagnostic files: sizes, whether open, then the texts when they cannot be made (hex).\n"
                     "(tests/link/frames_test.cpp) Remake: NEL_UPDATE_GOLDEN=1 nel_link_tests");
}

}  // namespace
