// Wave record files: what nelctl record writes and nelctl analyse reads.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

#include <nel/analysis/wave_record_file.h>

namespace {

std::string TempPath(const char* name) { return testing::TempDir() + name; }

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(WaveRecordFile, RefusesMalformedFilesWithAReason) {
  const std::string header = "NELWAVE 1\nrate 1000\nwaves ECG PCG\nrecords 2\ndata\n";
  const std::string twoRecords(60, '\0');
  struct Case {
    std::string text, reason;
  } cases[] = {
      {"NELWAVE 2\n" + header.substr(10) + twoRecords, "not a wave record file"},
      {header + twoRecords.substr(0, 59), "file ends before"},
      {header + twoRecords + "x", "bytes after the last record"},
      {"NELWAVE 1\nrate 1000\nwaves ECG Foo\nrecords 0\ndata\n", "unknown wave"},
      {"NELWAVE 1\nrate 1000\nwaves ECG ECG\nrecords 0\ndata\n", "listed twice"},
      {"NELWAVE 1\nrate 1000\nwaves ECG PCG RBra LBra RAnk LAnk RToe\nrecords 0\ndata\n", "more than six"},
      {"NELWAVE 1\nrate 0\nwaves ECG\nrecords 0\ndata\n", "bad sample rate"},
      {"NELWAVE 1\nrate 1000\nwaves ECG\nrecords -5\ndata\n", "bad record count"},
      {"NELWAVE 1\nrate 1000\nwaves ECG\nrecords 99999999999\ndata\n", "bad record count"},
      {"NELWAVE 1\nrate 1000\nwaves ECG\nrecords 0\nbp 1/2/3\ndata\n", "four"},
      {"NELWAVE 1\nrate 1000\nwaves ECG\nrecords 0\nbp 1/2 1/2/3 1/2/3 1/2/3\ndata\n", "bad pressure"},
      {"NELWAVE 1\nrate 1000\nrecords 0\ndata\n", "lacks"},
      {"NELWAVE 1\nrate 1000\nwaves ECG\nrecords 0\n", "header ends"},
      {"NELWAVE 1\n" + std::string(1000, 'a'), "header ends"},
  };
  for (const auto& c : cases) {
    const std::string path = TempPath("bad.nelwave");
    WriteText(path, c.text);
    nel::analysis::WaveRecordFile g;
    std::string error;
    EXPECT_FALSE(nel::analysis::ReadWaveRecordFile(path, g, error)) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  nel::analysis::WaveRecordFile g;
  std::string error;
  EXPECT_FALSE(nel::analysis::ReadWaveRecordFile(TempPath("no-such-file.nelwave"), g, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// Bytes as a stream that cannot seek, as a pipe.
class PipeBuffer : public std::streambuf {
 public:
  explicit PipeBuffer(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

TEST(WaveRecordFile, CountIsCheckedAgainstTheBytesBeforeTheRecordsAreAllocated) {
  // The reviewed file: 119 bytes claiming 16,777,216 records; 496 MB were
  // allocated before the short file was refused.
  std::string huge = "NELWAVE 1\nrate 1000\nwaves ECG PCG RBra LBra RAnk LAnk\nrecords 16777216\ndata\n";
  huge.resize(119, '\0');
  // A stream that can tell its size and one that cannot (a pipe) give the same
  // verdicts; the latter's records grow geometrically, in steps of 1024
  // records as their bytes arrive.
  const std::string head = "NELWAVE 1\nrate 1000\nwaves ECG\nrecords 3000\ndata\n";
  std::string body(3000 * 30, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  struct Case {
    std::string bytes, reason;  // reason empty: accepted
    size_t maxRecords;          // records allocated at most, sized stream
  } cases[] = {
      {head + body, "", 3000},
      {head + body.substr(1), "file ends before its 3000 records", 0},
      {head + body + "x", "bytes after the last record", 0},
      {huge, "file ends before its 16777216 records", 0},
  };
  for (const auto& c : cases) {
    for (bool sized : {true, false}) {
      std::istringstream text(c.bytes);
      PipeBuffer pipeBuffer(c.bytes);
      std::istream pipe(&pipeBuffer);
      std::istream& in = sized ? static_cast<std::istream&>(text) : pipe;
      nel::analysis::WaveRecordFile f;
      std::string error;
      const bool ok = nel::analysis::ReadWaveRecord(in, f, error);
      const std::string what = c.reason + (sized ? ", sized" : ", pipe");
      EXPECT_EQ(ok, c.reason.empty()) << what;
      EXPECT_NE(error.find(c.reason), std::string::npos) << what << ": " << error;
      const size_t limit = sized ? c.maxRecords : 2 * (c.bytes.size() / 30 + 1024);
      EXPECT_LE(f.records.capacity(), limit) << what;
      if (ok) {
        ASSERT_EQ(f.records.size(), 3000u);
        EXPECT_EQ(std::memcmp(f.records.data(), body.data(), body.size()), 0) << what;
      }
    }
  }
}

}  // namespace
