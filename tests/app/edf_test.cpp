// EDF+ export of a wave record, read back with EDFlib's reader: the header,
// the samples, the marks as annotations, the records it refuses, and
// `nelctl edf` run as a program.
#include <edflib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "../common/golden.h"
#include "commands.h"
#include "edf_export.h"
#include "run_nelctl.h"

namespace {

using nel::analysis::WaveRecordFile;
using nelctltest::TempDir;

// A 2.5 s record of the six waves of the ankle category: sines, ramps and a flat LBra.
WaveRecordFile SyntheticRecord(size_t length = 2500) {
  WaveRecordFile f;
  f.kinds = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  f.records.resize(length);
  for (size_t i = 0; i < length; ++i) {
    const float t = static_cast<float>(i) / 1000.0f;
    const float w[6] = {1.2f * std::sin(6.9f * t),    0.4f * t - 0.3f, 2.5f + 3.0f * std::sin(8.2f * t), 4.0f,
                        -150.0f * std::cos(4.4f * t), -2.0f * t};
    std::copy(w, w + 6, f.records[i].Wave);
  }
  return f;
}

// A header field without the spaces that fill it.
std::string Trimmed(std::string s) { return s.erase(s.find_last_not_of(' ') + 1); }

struct EdfFile {
  edf_hdr_struct hdr{};
  explicit EdfFile(const std::string& path) {
    EXPECT_EQ(edfopen_file_readonly(path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0) << path;
  }
  ~EdfFile() {
    if (hdr.filetype >= 0) edfclose_file(hdr.handle);
  }
};

// Header, samples and annotations of the synthetic record with a mark of every
// name (golden/edf_marks.txt: where each goes and the annotation it becomes).
TEST(EdfExport, ReadsBackWithinHalfAStepWithEveryMarkAsAnAnnotation) {
  WaveRecordFile rec = SyntheticRecord();
  std::vector<std::tuple<long long, long long, std::string>> want;  // onset, duration (100 ns), text
  std::ifstream table(nel::golden::PathOf("app/golden/edf_marks.txt"));
  for (const std::string& line : nel::golden::DataLines(table)) {
    std::istringstream in(line);
    size_t record = 0, position = 0;
    int value = 0;
    std::string text;
    std::getline(in >> record >> position >> value >> std::ws, text);
    rec.records[record].Mark[position] = static_cast<uint8_t>(value);
    want.emplace_back(static_cast<long long>(record) * EDFLIB_TIME_DIMENSION / 1000, -EDFLIB_TIME_DIMENSION, text);
  }
  ASSERT_EQ(want.size(), 14u);
  want.emplace_back(25 * EDFLIB_TIME_DIMENSION / 10, EDFLIB_TIME_DIMENSION / 2, "padding");  // the filled 0.5 s
  const std::string path = (TempDir() / "export.edf").string();
  std::string error;
  ASSERT_TRUE(nelctl::WriteEdf(path, rec, {"P-17", "Müller Anna", "f", "1961-04-30", "2026-12-07T11:40:05Z"}, error))
      << error;

  EdfFile f(path);
  ASSERT_EQ(f.hdr.filetype, EDFLIB_FILETYPE_EDFPLUS);
  EXPECT_EQ(std::tie(f.hdr.datarecord_duration, f.hdr.datarecords_in_file),
            std::make_tuple(EDFLIB_TIME_DIMENSION, 3LL));
  EXPECT_EQ(std::string(f.hdr.patientcode) + "|" + f.hdr.patient_name + "|" + f.hdr.gender + "|" + f.hdr.birthdate,
            "P-17|Muller Anna|Female|30 apr 1961");
  EXPECT_EQ(std::tie(f.hdr.startdate_year, f.hdr.startdate_month, f.hdr.startdate_day, f.hdr.starttime_hour,
                     f.hdr.starttime_minute, f.hdr.starttime_second),
            std::make_tuple(2026, 12, 7, 11, 40, 5));
  const char* expected[][2] = {{"ECG", "mV"},    {"PCG", "AU"},    {"RBra", "mmHg"},
                               {"LBra", "mmHg"}, {"RAnk", "mmHg"}, {"LAnk", "mmHg"}};
  ASSERT_EQ(f.hdr.edfsignals, 6);
  for (int s = 0; s < 6; ++s) {
    const edf_param_struct& p = f.hdr.signalparam[s];
    SCOPED_TRACE(expected[s][0]);
    EXPECT_EQ(Trimmed(p.label) + " " + Trimmed(p.physdimension), std::string(expected[s][0]) + " " + expected[s][1]);
    EXPECT_EQ(p.smp_in_datarecord, 1000);
    const auto [lo, hi] = std::minmax_element(rec.records.begin(), rec.records.end(),
                                              [s](const auto& a, const auto& b) { return a.Wave[s] < b.Wave[s]; });
    const float lowest = lo->Wave[s], highest = hi->Wave[s];
    // The range holds every sample with a margin (a flat wave too), but not so wide that the steps grow coarse.
    EXPECT_LT(p.phys_min, lowest);
    EXPECT_GT(p.phys_max, highest);
    EXPECT_LE(p.phys_max - p.phys_min, std::max(1.25 * (highest - lowest), 2.0));
    const double step = (p.phys_max - p.phys_min) / 65535.0;
    std::vector<double> v(3000);
    ASSERT_EQ(edfread_physical_samples(f.hdr.handle, s, 3000, v.data()), 3000);
    for (size_t i = 0; i < v.size(); ++i)  // the filled half second holds the last sample
      ASSERT_LE(std::fabs(v[i] - rec.records[std::min<size_t>(i, 2499)].Wave[s]), 0.5 * step * (1 + 1e-9)) << i;
  }
  std::vector<std::tuple<long long, long long, std::string>> got;
  for (int i = 0; i < f.hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    EXPECT_EQ(edf_get_annotation(f.hdr.handle, i, &a), 0);
    got.emplace_back(a.onset, a.duration_l, a.annotation);
  }
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

// What WriteEdf refuses, with the reason, leaving no file. At most 64
// annotations a second: 64 marks in one second fit, 65 do not.
TEST(EdfExport, RecordsItCannotWriteAreRefusedWithTheReason) {
  const auto marks = [](int count) {
    return [count](WaveRecordFile& f, nelctl::EdfSubject&) {
      for (int i = 0; i < count; ++i) f.records[static_cast<size_t>(i) * 15].Mark[0] = MARK_ECG_R;
    };
  };
  const std::string path = (TempDir() / "refused.edf").string();
  const struct {
    std::function<void(WaveRecordFile&, nelctl::EdfSubject&)> change;
    const char* mentions;  // nullptr: written
  } cases[] = {
      {marks(64), nullptr},
      {marks(65), "65 annotations"},
      {[](auto& f, auto&) { f.records.clear(); }, "empty"},
      {[](auto& f, auto&) { f.kinds.clear(); }, "no waves"},
      {[](auto& f, auto&) { f.kinds[2] = static_cast<tagTYPE_NEL_WAVEDATA>(8); }, "kind 8"},
      {[](auto& f, auto&) { f.sampleRate = 0; }, "sample rate 0"},
      {[](auto& f, auto&) { f.records[700].Wave[4] = std::nanf(""); }, "RAnk record 700"},
      {[](auto& f, auto&) { f.records[5].Wave[1] = 3e9f; }, "PCG holds values too large"},
      {[](auto&, auto& s) { s.sex = "x"; }, "sex"},
      {[](auto&, auto& s) { s.birth = "1961-02-30"; }, "birth"},
      {[](auto&, auto& s) { s.start = "1984-12-31T23:59:59"; }, "start"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mentions ? c.mentions : "64 marks");
    WaveRecordFile rec = SyntheticRecord(1000);
    nelctl::EdfSubject subject;
    c.change(rec, subject);
    std::filesystem::remove(path);
    std::string error;
    EXPECT_EQ(nelctl::WriteEdf(path, rec, subject, error), !c.mentions) << error;
    if (!c.mentions) {
      EXPECT_EQ(EdfFile(path).hdr.annotations_in_file, 64);
    } else {
      EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
      EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
      EXPECT_FALSE(std::filesystem::exists(path));
    }
  }
  std::string error;
  EXPECT_FALSE(nelctl::WriteEdf((TempDir() / "no-such-folder" / "x.edf").string(), SyntheticRecord(), {}, error));
  EXPECT_NE(error.find("cannot create the file"), std::string::npos) << error;
}

TEST(NelctlEdf, ExportsASavedRecordAndFailsOnAMissingOne) {
  WaveRecordFile rec = SyntheticRecord();
  rec.records[100].Mark[0] = MARK_ECG_R;
  const std::string record = (TempDir() / "edf_input.nelwave").string(), out = (TempDir() / "cli.edf").string();
  std::string error;
  ASSERT_TRUE(nel::analysis::WriteWaveRecordFile(record, rec, error)) << error;
  const auto r = nelctltest::RunNelctl({"edf", record, "--out", out, "--id", "P-17", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out),
            nlohmann::json({{"command", "edf"}, {"file", out}, {"signals", 6}, {"records", 3}, {"annotations", 2}}));
  EXPECT_EQ(std::string(EdfFile(out).hdr.patientcode), "P-17");

  const std::string missing = (TempDir() / "missing.nelwave").string();
  const auto m = nelctltest::RunNelctl({"edf", missing, "--out", out + "2", "--json"});
  EXPECT_EQ(m.status, nelctl::kStatusFailure);
  EXPECT_EQ(nlohmann::json::parse(m.out)["error"]["status"], nelctl::kStatusFailure) << m.out;
  EXPECT_NE(m.err.find(missing), std::string::npos) << m.err;
  EXPECT_FALSE(std::filesystem::exists(out + "2"));
  EXPECT_EQ(nelctltest::RunNelctl({"edf", record, "--out", out, "--sex", "x"}).status, nelctl::kStatusUsage);
}

}  // namespace
