// Reading and writing wave record files (format in wave_record_file.h).
#include <nel/analysis/wave_record_file.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>
#include <new>
#include <ostream>
#include <sstream>
#include <strings.h>

namespace nel::analysis {

namespace {

constexpr const char* kKindNames[8] = {"ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe"};
constexpr size_t kMaxHeaderLine = 256;
constexpr size_t kRecordBytes = 30;
constexpr size_t kReadStep = 1024;  // records read at a time from a stream without a size

bool ParsePressure(const std::string& text, tagLIMBRESULT& out) {
  int s = 0, d = 0, m = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d/%d/%d%c", &s, &d, &m, &tail) != 3) return false;
  for (int v : {s, d, m})
    if (v < -1 || v > 400) return false;
  out = {static_cast<int16_t>(s), static_cast<int16_t>(d), static_cast<int16_t>(m)};
  return true;
}

}  // namespace

const char* WaveKindName(int32_t kind) { return kind >= 0 && kind < 8 ? kKindNames[kind] : nullptr; }

int32_t WaveKindFromName(const std::string& name) {
  for (int32_t k = 0; k < 8; ++k)
    if (strcasecmp(name.c_str(), kKindNames[k]) == 0) return k;
  return -1;
}

namespace {

bool Writable(const WaveRecordFile& rec, std::string& error) {
  if (!rec.kinds.empty() && rec.kinds.size() <= 6 && rec.sampleRate >= 1) return true;
  error = "a wave record needs one to six waves and a sample rate";
  return false;
}

bool Fail(std::string& error, const std::string& what) {
  error = what;
  return false;
}

// One header line; each line is bounded so that a binary file is refused quickly.
bool ReadHeaderLine(std::istream& in, std::string& line) {
  line.clear();
  char c;
  while (in.get(c)) {
    if (c == '\n') return true;
    if (line.size() >= kMaxHeaderLine) return false;
    line.push_back(c);
  }
  return false;
}

// The wave list of a "waves" line.
bool ParseWaveList(std::istringstream& words, WaveRecordFile& out, std::string& error) {
  std::string name;
  while (words >> name) {
    const int32_t k = WaveKindFromName(name);
    if (k < 0) return Fail(error, "unknown wave \"" + name + "\"");
    for (auto have : out.kinds)
      if (have == k) return Fail(error, "wave \"" + name + "\" listed twice");
    if (out.kinds.size() == 6) return Fail(error, "more than six waves");
    out.kinds.push_back(static_cast<tagTYPE_NEL_WAVEDATA>(k));
  }
  return true;
}

// The four limb pressures of a "bp" line.
bool ParseLimbPressures(std::istringstream& words, WaveRecordFile& out, std::string& error) {
  std::string p;
  int i = 0;
  while (words >> p) {
    if (i == 4 || !ParsePressure(p, out.pressures[i])) return Fail(error, "bad pressure \"" + p + "\"");
    ++i;
  }
  if (i != 4) return Fail(error, "the bp line needs four SBP/DBP/MAP entries");
  out.hasPressures = true;
  return true;
}

// Header lines up to "data"; `count` receives the number of records.
bool ReadHeader(std::istream& in, WaveRecordFile& out, long long& count, std::string& error) {
  std::string line;
  if (!ReadHeaderLine(in, line) || line != "NELWAVE 1")
    return Fail(error, "not a wave record file (first line must be \"NELWAVE 1\")");
  bool haveRate = false;
  for (;;) {
    if (!ReadHeaderLine(in, line)) return Fail(error, "header ends before the \"data\" line");
    if (line == "data") break;
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "rate") {
      long long r = 0;
      if (!(words >> r) || r < 1 || r > 1000000) return Fail(error, "bad sample rate");
      out.sampleRate = static_cast<int32_t>(r);
      haveRate = true;
    } else if (key == "waves") {
      if (!ParseWaveList(words, out, error)) return false;
    } else if (key == "records") {
      if (!(words >> count) || count < 0 || count > kMaxWaveRecordFileRecords) return Fail(error, "bad record count");
    } else if (key == "bp") {
      if (!ParseLimbPressures(words, out, error)) return false;
    } else if (!key.empty() && key[0] != '#') {
      return Fail(error, "unknown header line \"" + key + "\"");
    }
  }
  if (!haveRate || count < 0 || out.kinds.empty()) return Fail(error, "header lacks rate, waves or records");
  return true;
}

// The `count` records after the header, and nothing after them.
bool ReadRecords(std::istream& in, long long count, WaveRecordFile& out, std::string& error) {
  static_assert(sizeof(tagSAVE_WAVEDATA) == kRecordBytes, "records are stored as they lie in memory");
  const size_t n = static_cast<size_t>(count);
  const std::string shortFile = "file ends before its " + std::to_string(count) + " records";
  // The bytes left are compared with the count before any record is allocated.
  const std::streampos here = in.tellg();
  if (here != std::streampos(-1) && in.seekg(0, std::ios::end)) {
    const std::streampos end = in.tellg();
    if (end == std::streampos(-1) || !in.seekg(here)) return Fail(error, "cannot read the records");
    const auto left = static_cast<unsigned long long>(end - here);
    if (left < n * kRecordBytes) return Fail(error, shortFile);
    if (left > n * kRecordBytes) return Fail(error, "bytes after the last record");
    out.records.reserve(n);
  }
  // Without a size (a pipe) the records grow by steps as their bytes arrive.
  in.clear();
  while (out.records.size() < n) {
    const size_t have = out.records.size();
    const size_t step = std::min(n - have, kReadStep);
    out.records.resize(have + step);
    const auto bytes = static_cast<std::streamsize>(step * kRecordBytes);
    in.read(reinterpret_cast<char*>(out.records.data() + have), bytes);
    if (in.gcount() != bytes) return Fail(error, shortFile);
  }
  if (in.peek() != std::char_traits<char>::eof()) return Fail(error, "bytes after the last record");
  return true;
}

// The reader proper; it may throw (out of memory), ReadWaveRecord does not.
bool Read(std::istream& in, WaveRecordFile& out, std::string& error) {
  out = WaveRecordFile{};
  long long count = -1;
  return ReadHeader(in, out, count, error) && ReadRecords(in, count, out, error);
}

bool Write(std::ostream& out, const WaveRecordFile& rec) {
  out << "NELWAVE 1\nrate " << rec.sampleRate << "\nwaves";
  for (auto k : rec.kinds) out << ' ' << (WaveKindName(k) ? WaveKindName(k) : "?");
  out << "\nrecords " << rec.records.size() << '\n';
  if (rec.hasPressures) {
    out << "bp";
    for (const auto& p : rec.pressures) out << ' ' << p.SBP << '/' << p.DBP << '/' << p.MAP;
    out << '\n';
  }
  out << "data\n";
  out.write(reinterpret_cast<const char*>(rec.records.data()),
            static_cast<std::streamsize>(rec.records.size() * sizeof(tagSAVE_WAVEDATA)));
  return static_cast<bool>(out.flush());
}

}  // namespace

// The messages of the exception handlers fit a string's inner buffer: assigning
// them allocates nothing.
bool ReadWaveRecord(std::istream& in, WaveRecordFile& out, std::string& error) {
  try {
    return Read(in, out, error);
  } catch (const std::bad_alloc&) {
    error.assign("out of memory");
  } catch (...) {  // a stream whose exceptions the caller enabled
    error.assign("read error");
  }
  return false;
}

bool WriteWaveRecord(std::ostream& out, const WaveRecordFile& rec, std::string& error) {
  try {
    if (!Writable(rec, error)) return false;
    if (Write(out, rec)) return true;
  } catch (...) {
  }
  error.assign("write error");
  return false;
}

bool ReadWaveRecordFile(const std::string& path, WaveRecordFile& out, std::string& error) {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot open " + path;
      return false;
    }
    if (Read(in, out, error)) return true;
    error = path + ": " + error;
  } catch (const std::bad_alloc&) {
    error.assign("out of memory");
  } catch (...) {
    error.assign("read error");
  }
  return false;
}

bool WriteWaveRecordFile(const std::string& path, const WaveRecordFile& rec, std::string& error) {
  try {
    if (!Writable(rec, error)) return false;  // refused before the file is created
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create " + path;
      return false;
    }
    if (Write(out, rec)) return true;
    error = "cannot write " + path;
  } catch (...) {
    error.assign("write error");
  }
  return false;
}

}  // namespace nel::analysis
