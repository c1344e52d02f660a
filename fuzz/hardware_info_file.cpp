// Arbitrary bytes as a hardware information file, read for the unit the first
// byte chooses (out-of-range units too). No crash; a second read gives the
// same record; a missing or empty key gives the file default; the six pulse
// kinds read one key; a record written to a new file or over the fuzzed one
// reads back (the pulse kinds as the first one). When the input holds a NUL,
// the bytes after the last one name "section|key|value" for the INI services
// themselves: the default counts only for a missing or empty value, and a
// written plain key reads back without disturbing any other key.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "link/hardware_info_file.h"
#include "platform/ini_file.h"

namespace {

using nel::platform::ReadIniInt;
using nel::platform::ReadIniString;
using nel::platform::WriteIniString;

void Check(bool condition) {
  if (!condition) std::abort();
}

// One set of files per process, in memory when the system offers it (three
// times the speed of a disk).
std::string TempPath(const char* what) {
  static const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
  return (dir / ("nel_fuzz_hwinf_" + std::to_string(getpid()) + what)).string();
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(static_cast<bool>(f));
}

bool Same(const tagHARDWAREINF& a, const tagHARDWAREINF& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

tagHARDWAREINF Read(const std::string& path, int32_t unit) {
  tagHARDWAREINF info;
  std::memset(&info, 0x5A, sizeof info);
  nel::link::ReadHardwareInfo(path, unit, &info);
  return info;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A name the INI syntax cannot misread: no line end, bracket, '=', comment or
// quote character, no blank at either end.
bool PlainName(std::string_view s) {
  return !s.empty() && s.find_first_of("\n\r[]=;#\"'") == std::string_view::npos && !Blank(s.front()) &&
         !Blank(s.back());
}

// A value that reads back as written: one line, not trimmed, not unquoted.
bool PlainValue(std::string_view s) {
  if (s.empty()) return true;
  const bool quoted = s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front();
  return s.find_first_of("\n\r") == std::string_view::npos && !Blank(s.front()) && !Blank(s.back()) && !quoted;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

struct Key {
  const char* name;
  int32_t fileDefault;
};
// The keys the header lists with their file defaults, and where each lands.
constexpr Key kKeys[] = {{"COMPORT", 3},        {"ADBASE_ECG", 2130},     {"ADDATUM_ECG", 665},   {"ADBASE_PCG", 2130},
                         {"ADDATUM_PCG", 2048}, {"ADBASE_PULSE", 400000}, {"ADDATUM_PULSE", 3500}};
int32_t Field(const tagHARDWAREINF& info, int key) {
  switch (key) {
    case 0: return info.ComPort;
    case 1: return info.ADBase[WAVE_ECG];
    case 2: return info.ADDatum[WAVE_ECG];
    case 3: return info.ADBase[WAVE_PCG];
    case 4: return info.ADDatum[WAVE_PCG];
    case 5: return info.ADBase[WAVE_RBRA];
    default: return info.ADDatum[WAVE_RBRA];
  }
}

int32_t UnitOf(uint8_t b) {
  static constexpr int32_t kOdd[] = {-1, INT32_MIN, INT32_MAX, 149, 150, 1000000, -2, 0};
  return b < 200 ? b - 1 : kOdd[b % 8];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath(".ini"), copy = TempPath("_copy.ini"), fresh = TempPath("_new.ini");
  static const struct Cleanup {
    ~Cleanup() {
      for (const std::string* p : {&path, &copy, &fresh}) std::remove(p->c_str());
    }
  } cleanup;
  if (size == 0) return 0;
  const int32_t unit = UnitOf(data[0]);
  const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
  WriteFile(path, file);

  const tagHARDWAREINF info = Read(path, unit);
  Check(Same(info, Read(path, unit)));
  nel::link::ReadHardwareInfo(path, unit, nullptr);
  const std::string section = nel::link::HardwareInfoSection(unit);
  for (int k = 0; k < 7; ++k)
    if (ReadIniString(path, section, kKeys[k].name, "").empty()) Check(Field(info, k) == kKeys[k].fileDefault);
  for (int k = WAVE_LBRA; k <= WAVE_LTOE; ++k)
    Check(info.ADBase[k] == info.ADBase[WAVE_RBRA] && info.ADDatum[k] == info.ADDatum[WAVE_RBRA]);

  // Only the first pulse kind's values are written: give the others other values.
  tagHARDWAREINF out = info;
  for (int k = WAVE_LBRA; k <= WAVE_LTOE; ++k) {
    out.ADBase[k] = ~info.ADBase[WAVE_RBRA];
    out.ADDatum[k] = -info.ADDatum[WAVE_RBRA] / 2;
  }
  std::remove(fresh.c_str());
  Check(nel::link::WriteHardwareInfo(fresh, unit, out));
  Check(Same(Read(fresh, unit), info));
  WriteFile(copy, file);
  Check(nel::link::WriteHardwareInfo(copy, unit, out));
  Check(Same(Read(copy, unit), info));

  // The INI services with names from the input.
  const size_t nul = file.rfind('\0');
  if (nul == std::string_view::npos) return 0;
  const std::string_view entry = file.substr(nul + 1);
  const size_t bar1 = entry.find('|'), bar2 = bar1 == std::string_view::npos ? bar1 : entry.find('|', bar1 + 1);
  if (bar2 == std::string_view::npos) return 0;
  const std::string_view s = entry.substr(0, bar1), k = entry.substr(bar1 + 1, bar2 - bar1 - 1),
                         v = entry.substr(bar2 + 1);
  const bool empty = ReadIniString(path, s, k, "").empty();
  Check((ReadIniInt(path, s, k, 1) != ReadIniInt(path, s, k, 2)) == empty);
  if (!PlainName(s) || !PlainName(k) || !PlainValue(v)) return 0;
  WriteFile(copy, file);
  Check(WriteIniString(copy, s, k, v));
  Check(ReadIniString(copy, s, k, "\x01") == v);
  // Every other key reads as before.
  if (SameName(s, section))
    for (const Key& key : kKeys)
      if (SameName(k, key.name)) return 0;
  Check(Same(Read(copy, unit), info));
  return 0;
}
