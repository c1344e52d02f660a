// The exam report: the band of a limb index, a session folder with pieces
// missing or broken, and the page of a whole session opened in headless
// Chromium (screenshot, DOM, console), the PDF, and nelctl report's failures.
//
// The session: results.json and bp.json under golden/report_session (written
// by hand: 75 beats a minute, RBra 120/80/93, LBra 118/78/91, RAnk 132/82/99,
// LAnk 108/70/83, ABI 1.10 and 0.90), and the synthetic wave record of the
// analysis tests with marks set here at known records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "data_ana_access.h"
#include "report.h"
#include "run_nelctl.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSessionData = fs::path(NEL_SOURCE_DIR) / "tests/app/golden/report_session";

// The sessions, pages and browser profile (some megabytes) stay behind only when a test failed.
struct RemoveScratchWhenPassed : testing::Environment {
  void TearDown() override {
    if (testing::UnitTest::GetInstance()->Passed()) fs::remove_all(nelctltest::TempDir());
  }
};
testing::Environment* const kScratch = testing::AddGlobalTestEnvironment(new RemoveScratchWhenPassed);

// The synthetic record with its marks: R peaks every 800 records from 300 with
// the QRS onset 20 before, S1 and S2 40 and 340 after each R, and on each
// pulse wave the foot, the peak 120 and the notch 300 after it, plus the early
// systolic point (a mark value the report does not draw) 60 after it.
nel_test::Record MarkedRecord() {
  nel_test::Record r = nel_test::FullRecord();
  const std::pair<tagTYPE_NEL_WAVEDATA, int> feet[] = {
      {WAVE_RBRA, 100}, {WAVE_LBRA, 105}, {WAVE_RANK, 200}, {WAVE_LANK, 210}};
  auto mark = [&](int32_t i, tagTYPE_NEL_WAVEDATA k, uint8_t v) {
    if (i < r.n()) r.mark(i, k) = v;
  };
  for (int32_t R = 300; R < r.n(); R += nel_test::kRR) {
    mark(R, WAVE_ECG, MARK_ECG_R);
    mark(R - 20, WAVE_ECG, MARK_ECG_ONSET);
    mark(R + 40, WAVE_PCG, MARK_PCG_S1);
    mark(R + 340, WAVE_PCG, MARK_PCG_S2);
    for (const auto& [k, delay] : feet) {
      mark(R + delay, k, MARK_PULSE_FOOT);
      mark(R + delay + 60, k, MARK_PULSE_P);
      mark(R + delay + 120, k, MARK_PULSE_PEAK);
      mark(R + delay + 300, k, MARK_PULSE_NOTCH);
    }
  }
  return r;
}

// A session folder: the hand-written files (each when asked for) and the record.
fs::path MakeSession(const std::string& name, bool bp = true, bool record = true) {
  const fs::path dir = nelctltest::TempDir() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(kSessionData / "results.json", dir / "results.json");
  if (bp) fs::copy_file(kSessionData / "bp.json", dir / "bp.json");
  if (record) {
    const nel_test::Record r = MarkedRecord();
    nel::analysis::WaveRecordFile f;
    f.kinds = r.kinds;
    f.records = r.rec;
    std::string error;
    EXPECT_TRUE(nel::analysis::WriteWaveRecordFile((dir / "record.nelwave").string(), f, error)) << error;
  }
  return dir;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The text between `open` and the next quote, searching from `at`; `at` moves past it. std::regex recurses per
// character and overflows the stack on the long point lists.
bool Quoted(const std::string& html, const std::string& open, size_t& at, std::string& out) {
  const size_t start = html.find(open, at);
  if (start == std::string::npos) return false;
  const size_t end = html.find('"', start + open.size());
  if (end == std::string::npos) return false;
  out = html.substr(start + open.size(), end - start - open.size());
  at = end + 1;
  return true;
}

// How many elements carry each class (the tokens of every class attribute).
std::map<std::string, int> ClassCounts(const std::string& html) {
  std::map<std::string, int> counts;
  std::string value;
  for (size_t at = 0; Quoted(html, "class=\"", at, value);) {
    std::istringstream tokens(value);
    for (std::string t; tokens >> t;) ++counts[t];
  }
  return counts;
}

// The times (from each mark's title, "..., 1.234 s") of the marks of each class in each wave's figure:
// "ECG mark-r" -> times.
std::map<std::string, std::vector<double>> MarkTimes(const std::string& html) {
  std::map<std::string, std::vector<double>> times;
  std::string wave, cls;
  size_t next = html.find("data-wave=\"");
  for (size_t at = 0; Quoted(html, "class=\"mark ", at, cls);) {
    while (next != std::string::npos && next < at) {
      size_t w = next;
      Quoted(html, "data-wave=\"", w, wave);
      next = html.find("data-wave=\"", w);
    }
    const size_t title = html.find("<title>", at), close = html.find(" s</title>", at);
    if (title == std::string::npos || close == std::string::npos || html.find('>', at) + 1 != title) continue;
    const size_t comma = html.rfind(", ", close);
    times[wave + " " + cls].push_back(std::stod(html.substr(comma + 2, close - comma - 2)));
  }
  return times;
}

TEST(ReportIndexBand, JudgedOnTheValueAsShownWithTwoDecimals) {
  struct Case {
    bool toe;
    double value;
    const char* text;
    const char* cssClass;
  };
  const Case cases[] = {
      {false, 1.52, "non-compressible", "band-abnormal"},
      {false, 1.41, "non-compressible", "band-abnormal"},
      {false, 1.404, "normal", "band-normal"},  // shown 1.40
      {false, 1.00, "normal", "band-normal"},
      {false, 0.998, "normal", "band-normal"},  // shown 1.00
      {false, 0.99, "borderline", "band-borderline"},
      {false, 0.906, "borderline", "band-borderline"},               // shown 0.91
      {false, 0.904, "peripheral artery disease", "band-abnormal"},  // shown 0.90
      {false, 0.9f, "peripheral artery disease", "band-abnormal"},   // as the analysis's float
      {false, 0.42, "peripheral artery disease", "band-abnormal"},
      {false, -1, "not measured", "band-none"},
      {false, 0, "not measured", "band-none"},
      {false, NAN, "not measured", "band-none"},
      {true, 1.10, "normal", "band-normal"},
      {true, 0.7f, "normal", "band-normal"},   // 0.69999999 as a float
      {true, 0.696, "normal", "band-normal"},  // shown 0.70
      {true, 0.694, "abnormal", "band-abnormal"},
      {true, 0.35, "abnormal", "band-abnormal"},
      {true, -1, "not measured", "band-none"},
  };
  for (const Case& c : cases) {
    const nelctl::IndexBand b = nelctl::ClassifyIndex(c.toe, c.value);
    EXPECT_STREQ(b.text, c.text) << (c.toe ? "TBI " : "ABI ") << c.value;
    EXPECT_STREQ(b.cssClass, c.cssClass) << (c.toe ? "TBI " : "ABI ") << c.value;
  }
}

// A piece that is missing or broken is named where it would be; a
// results.json that cannot be read is the one failure, with its reason.
int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// A piece that is missing or broken is named where it would be; a
// results.json that cannot be read is the one failure, with its reason.
TEST(ReportSession, MissingPiecesAreNamedAndAnUnreadableResultsFileFails) {
  struct Case {
    const char* name;
    bool bp, record;
    std::string results;  // replaces results.json when not empty; "-" removes it
    std::string bpText;   // replaces bp.json when not empty
    std::string error;    // the load fails with this in its message
    size_t missing;       // pieces named as missing
    std::vector<std::string> says;
    int waveFigures, cuffFigures;
  };
  const Case cases[] = {
      {"whole", true, true, "", "", "", 0, {"ABI bands", "status-ok"}, 6, 4},
      {"no-bp",
       false,
       true,
       "",
       "",
       "",
       1,
       {"bp.json: cannot open", "Oscillometric envelopes: bp.json is missing"},
       6,
       0},
      {"no-record", true, false, "", "", "", 1, {"record.nelwave: ", "Wave record: not in this session"}, 0, 4},
      {"bad-bp", true, true, "", "[1, 2", "", 1, {"bp.json: not a JSON object"}, 6, 0},
      {"bare-results",
       true,
       true,
       R"({"format": "nel-session 1", "ok": false})",
       "",
       "",
       0,
       {"Waveform analysis: not in results.json", "Signal check: not in results.json", "status-incomplete"},
       6,
       4},
      {"no-results", true, true, "-", "", "did not finish", 0, {}, 0, 0},
      {"results-not-json", true, true, "{\"format\": ", "", "results.json is not JSON", 0, {}, 0, 0},
      {"results-not-object", true, true, "[]", "", "does not hold a JSON object", 0, {}, 0, 0},
      {"other-format", true, true, R"({"format": "nel-session 9"})", "", "expected \"nel-session 1\"", 0, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = MakeSession(std::string("pieces-") + c.name, c.bp, c.record);
    if (c.results == "-") fs::remove(dir / "results.json");
    if (!c.results.empty() && c.results != "-") std::ofstream(dir / "results.json", std::ios::trunc) << c.results;
    if (!c.bpText.empty()) std::ofstream(dir / "bp.json", std::ios::trunc) << c.bpText;
    nelctl::Session s;
    std::string error;
    const bool loaded = nelctl::LoadSession(dir.string(), s, error);
    EXPECT_EQ(loaded, c.error.empty()) << error;
    if (!loaded) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_NE(error.find("results.json"), std::string::npos) << error;
      EXPECT_FALSE(nelctl::WriteReport(dir.string(), (dir / "report.html").string(), error));
      EXPECT_FALSE(fs::exists(dir / "report.html"));
      continue;
    }
    EXPECT_EQ(s.missing.size(), c.missing);
    const std::string html = nelctl::ReportHtml(s);
    for (const std::string& text : c.says) EXPECT_NE(html.find(text), std::string::npos) << text;
    EXPECT_EQ(Occurrences(html, "<li class=\"missing\">"), static_cast<int>(c.missing));
    EXPECT_EQ(Occurrences(html, "data-wave=\""), c.waveFigures);
    EXPECT_EQ(Occurrences(html, "data-cuff=\""), c.cuffFigures);
    for (const std::string cls : {"bp-sbp", "bp-map", "bp-dbp"})
      EXPECT_EQ(Occurrences(html, "class=\"bp " + cls + "\""), c.cuffFigures) << cls;
  }
}

bool HasChromium() { return std::system("command -v chromium > /dev/null 2>&1") == 0; }

// Runs headless Chromium over `url` with `actions`, its home in the test's folder; returns its log.
std::string RunChromium(const std::string& actions, const fs::path& dom, const std::string& url) {
  const fs::path home = nelctltest::TempDir() / "chromium-home";
  const fs::path log = nelctltest::TempDir() / "chromium.log";
  fs::create_directories(home);
  const std::string command = "HOME=" + home.string() + " chromium --headless --no-sandbox --disable-gpu " +
                              "--enable-logging=stderr --v=0 " + actions + " " + url + " > " + dom.string() + " 2> " +
                              log.string();
  EXPECT_EQ(std::system(command.c_str()), 0) << command << "\n" << ReadFile(log);
  return ReadFile(log);
}

// The whole session's page as a browser shows it: a screenshot with content,
// every figure, every drawn mark of the record at its time and no other, the
// BP markers, the results and no console error.
TEST(ReportInChromium, ShowsEveryFigureAndEveryMarkOfTheRecord) {
  if (!HasChromium()) GTEST_SKIP() << "chromium is not installed (scripts/install_deps.sh installs it)";
  const fs::path dir = MakeSession("chromium");
  const nelctltest::Result r = nelctltest::RunNelctl({"report", dir.string(), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["file"], (dir / "report.html").string());
  EXPECT_TRUE(j["missing"].empty()) << j;

  const fs::path png = dir / "report.png", dom = dir / "dom.html";
  const std::string log = RunChromium("--window-size=1200,3000 --screenshot=" + png.string() + " --dump-dom", dom,
                                      "file://" + (dir / "report.html").string());
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(line.find("Uncaught") == std::string::npos && line.find("CONSOLE") == std::string::npos) << line;

  // A PNG of the window's size, much larger than the few kilobytes of a blank page.
  const std::string image = ReadFile(png);
  ASSERT_GT(image.size(), 24u);
  EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<uint8_t>(image[at + k]);
    return v;
  };
  EXPECT_EQ(be32(16), 1200u);
  EXPECT_EQ(be32(20), 3000u);
  EXPECT_GT(image.size(), 100000u);

  const std::string html = ReadFile(dom);
  const auto counts = ClassCounts(html);
  auto count = [&](const std::string& cls) { return counts.count(cls) ? counts.at(cls) : 0; };
  EXPECT_EQ(count("figure"), 6 + 4);
  for (const char* cuff : {"RBra", "LBra", "RAnk", "LAnk"})
    EXPECT_NE(html.find(std::string("data-cuff=\"") + cuff + "\""), std::string::npos) << cuff;

  // Each drawn kind of mark, wave by wave, at the records the record holds it.
  const nel_test::Record rec = MarkedRecord();
  using Kinds = std::vector<std::pair<uint8_t, std::string>>;
  const Kinds pulse = {
      {MARK_PULSE_FOOT, "mark-foot"}, {MARK_PULSE_PEAK, "mark-peak"}, {MARK_PULSE_NOTCH, "mark-notch"}};
  const std::pair<tagTYPE_NEL_WAVEDATA, Kinds> drawn[] = {
      {WAVE_ECG, {{MARK_ECG_R, "mark-r"}, {MARK_ECG_ONSET, "mark-onset"}}},
      {WAVE_PCG, {{MARK_PCG_S1, "mark-s1"}, {MARK_PCG_S2, "mark-s2"}}},
      {WAVE_RBRA, pulse},
      {WAVE_LBRA, pulse},
      {WAVE_RANK, pulse},
      {WAVE_LANK, pulse}};
  const auto times = MarkTimes(html);
  std::map<std::string, int> perClass;
  int all = 0;
  for (const auto& [kind, kinds] : drawn)
    for (const auto& [value, cls] : kinds) {
      const std::string key = std::string(nel::analysis::WaveKindName(kind)) + " " + cls;
      std::vector<double> want;
      for (int32_t i : rec.Where(kind, value)) want.push_back(i / 1000.0);
      ASSERT_TRUE(times.count(key)) << key;
      EXPECT_EQ(times.at(key), want) << key;
      perClass[cls] += static_cast<int>(want.size());
      all += static_cast<int>(want.size());
    }
  for (const auto& [cls, n] : perClass) EXPECT_EQ(count(cls), n) << cls;
  EXPECT_EQ(count("mark"), all) << "no mark of a value the report does not draw";
  EXPECT_EQ(perClass["mark-r"], 19);   // 300, 1100, ..., 14700
  EXPECT_EQ(perClass["mark-s2"], 18);  // the last S2 would fall after the record

  // The thinned trace still reaches every R peak: a point of it in the peak's pixel column at the mark's height.
  const size_t ecg = html.find("data-wave=\"ECG\"");
  ASSERT_NE(ecg, std::string::npos);
  const std::string figure = html.substr(ecg, html.find("</svg>", ecg) - ecg);
  std::vector<std::pair<double, double>> trace;
  std::string points, cx, cy;
  size_t at = 0;
  ASSERT_TRUE(Quoted(figure, "points=\"", at, points));
  std::istringstream pairs(points);
  for (double x, y; pairs >> x && pairs.ignore(1) && pairs >> y;) trace.emplace_back(x, y);
  int peaks = 0;
  for (at = 0; Quoted(figure, "class=\"mark mark-r\" cx=\"", at, cx) && Quoted(figure, "cy=\"", at, cy); ++peaks) {
    const double x = std::stod(cx), y = std::stod(cy);
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(),
                            [&](const auto& p) { return std::fabs(p.first - x) <= 1.0 && p.second == y; }))
        << "R peak at x " << x;
  }
  EXPECT_EQ(peaks, 19);

  for (const char* cls : {"bp-sbp", "bp-map", "bp-dbp"}) EXPECT_EQ(count(cls), 4) << cls;
  for (const char* text :
       {"SBP 132", "MAP 99", "DBP 82", "Test &lt;Subject&gt; &amp; Co", "S-0042", "1.10", "0.90",
        "peripheral artery disease", "1234 cm/s", "1301 cm/s", "75 1/min", "300 ms", "12 %", "2130", "status-ok"})
    EXPECT_NE(html.find(text), std::string::npos) << text;
  EXPECT_EQ(count("band-normal"), 1);
  EXPECT_EQ(count("band-abnormal"), 1);
}

// --pdf prints through Chromium; without it on PATH it is a failure that writes
// nothing; a session without results.json fails with the reason; one without
// bp.json gets its report and names what is missing.
TEST(ReportInChromium, PdfAndTheCommandsFailures) {
  if (!HasChromium()) GTEST_SKIP() << "chromium is not installed (scripts/install_deps.sh installs it)";
  const fs::path dir = MakeSession("pdf", false);
  const fs::path out = dir / "screening.html";
  const std::string home = "HOME=" + (nelctltest::TempDir() / "chromium-home").string();

  const nelctltest::Result none =
      nelctltest::Run({"report", dir.string(), "--pdf"}, {"PATH=" + dir.string()}, std::chrono::seconds(60));
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("--pdf needs Chromium"), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(dir / "report.html"));

  const nelctltest::Result r =
      nelctltest::Run({"report", dir.string(), "--out", out.string(), "--pdf"}, {home}, std::chrono::seconds(120));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "screening.pdf").substr(0, 5), "%PDF-");
  EXPECT_NE(r.out.find("missing: bp.json: cannot open"), std::string::npos) << r.out;
  EXPECT_NE(ReadFile(out).find("Oscillometric envelopes: bp.json is missing"), std::string::npos);

  fs::remove(dir / "results.json");
  const nelctltest::Result gone = nelctltest::RunNelctl({"report", dir.string(), "--json"});
  EXPECT_EQ(gone.status, 1);
  const auto j = nlohmann::json::parse(gone.out);
  EXPECT_NE(j["error"]["message"].get<std::string>().find("results.json"), std::string::npos) << gone.out;
}

}  // namespace
