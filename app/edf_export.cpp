// EDF+ export of a wave record (see edf_export.h for what the file holds).
#include "edf_export.h"

#ifndef NELCTL_NO_EDF
#include <edflib.h>
#endif
// Without EDFlib (NELCTL_NO_EDF, a Windows build) only the checks are built;
// the helpers of the writer marked [[maybe_unused]] go unused there.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <nel/analysis/data_ana.h>
#include <nel/nel.h>

namespace nelctl {
namespace {

constexpr int kMaxAnnotationSignals = 64;  // EDFlib's limit
constexpr int kDigitalMin = -32768;
constexpr int kDigitalMax = 32767;
constexpr long long kAnnotationUnitsPerSecond = 10000;  // EDFlib's annotation times are in 100 us

struct Date {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

bool ValidDate(const Date& d) {
  return std::chrono::year_month_day{std::chrono::year{d.year}, std::chrono::month{static_cast<unsigned>(d.month)},
                                     std::chrono::day{static_cast<unsigned>(d.day)}}
             .ok() &&
         d.hour >= 0 && d.hour < 24 && d.minute >= 0 && d.minute < 60 && d.second >= 0 && d.second < 60;
}

// "YYYY-MM-DD", and with `withTime` "YYYY-MM-DDTHH:MM:SS" with an optional "Z".
bool ParseDate(const std::string& text, bool withTime, Date& d) {
  int used = 0;
  const int fields = withTime ? std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &d.year, &d.month, &d.day,
                                            &d.hour, &d.minute, &d.second, &used)
                              : std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &d.year, &d.month, &d.day, &used);
  const std::string rest = text.substr(static_cast<size_t>(used));
  return fields == (withTime ? 6 : 3) && (rest.empty() || (withTime && rest == "Z")) && ValidDate(d);
}

// 1 male, 0 female, -1 unknown (empty), -2 not understood.
int SexCode(std::string sex) {
  for (char& c : sex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (sex.empty()) return -1;
  if (sex == "m" || sex == "male") return 1;
  if (sex == "f" || sex == "female") return 0;
  return -2;
}

// UTF-8 to Latin-1, which EDFlib turns into ASCII (accents dropped); characters
// outside Latin-1 and broken sequences become '?'.
[[maybe_unused]] std::string Latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) {
      const int code = ((c & 0x1F) << 6) | (utf8[++i] & 0x3F);
      out += code >= 0xA0 ? static_cast<char>(code) : '?';
    } else {
      while (i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) ++i;  // the rest of the character
      out += '?';
    }
  }
  return out;
}

// What a mark value of a wave means in the file.
[[maybe_unused]] std::string MarkText(tagTYPE_NEL_WAVEDATA kind, uint8_t mark) {
  const std::string wave = nel::analysis::WaveKindName(kind);
  if (kind == WAVE_ECG && mark == MARK_ECG_R) return "R";
  if (kind == WAVE_ECG && mark == MARK_ECG_ONSET) return "QRS onset";
  if (kind == WAVE_PCG && mark == MARK_PCG_S1) return "S1";
  if (kind == WAVE_PCG && mark == MARK_PCG_S2) return "S2";
  static const char* const kPulse[] = {nullptr, "peak", "foot", "notch", "P", "T", "P+T", "valley"};
  if (kind != WAVE_ECG && kind != WAVE_PCG && mark < std::size(kPulse)) return wave + " " + kPulse[mark];
  return wave + " mark " + std::to_string(mark);
}

struct SignalInfo {
  const char* dimension;
  const char* prefilter;
  std::string transducer;
};

// The filter bank's main band of each kind (the wave record holds it).
[[maybe_unused]] SignalInfo InfoOf(tagTYPE_NEL_WAVEDATA kind) {
  if (kind == WAVE_ECG) return {"mV", "HP:0.53Hz LP:35Hz N:45-55Hz", "ECG electrodes"};
  if (kind == WAVE_PCG) return {"AU", "HP:40Hz LP:120Hz", "heart sound microphone"};
  return {"mmHg", "HP:0.3Hz LP:22Hz", std::string("cuff pressure sensor, ") + nel::analysis::WaveKindName(kind)};
}

// The extremes widened by a margin and rounded outwards to values the 8
// characters of the header print exactly, so that the reader scales the
// samples as they were written. False when no such values exist.
bool PhysicalRange(float lowest, float highest, double& min, double& max) {
  const double span = static_cast<double>(highest) - lowest;
  const double margin = span > 0 ? 0.05 * span : std::max(1.0, 0.05 * std::fabs(static_cast<double>(lowest)));
  for (int decimals = 6; decimals >= 0; --decimals) {
    const double step = std::pow(10.0, -decimals);
    char lo[64], hi[64];
    std::snprintf(lo, sizeof lo, "%.*f", decimals, std::floor((lowest - margin) / step) * step);
    std::snprintf(hi, sizeof hi, "%.*f", decimals, std::ceil((highest + margin) / step) * step);
    if (std::strlen(lo) <= 8 && std::strlen(hi) <= 8) {
      min = std::strtod(lo, nullptr);
      max = std::strtod(hi, nullptr);
      return min < max;
    }
  }
  return false;
}

// EDFlib prints header numbers with their digits cut, not rounded: 5.8 (in
// binary just under it) would read back as 5.799999. Half a unit of the ninth
// decimal away from zero makes it print the decimal value itself.
[[maybe_unused]] double ForHeader(double x) { return x + std::copysign(5e-10, x); }

struct Scale {
  double min = 0, max = 0;  // physical values of the digital minimum and maximum
};

// Every wave's scale; false with the reason when a wave holds a value the file cannot.
bool Scales(const nel::analysis::WaveRecordFile& rec, std::vector<Scale>& scales, std::string& error) {
  for (size_t s = 0; s < rec.kinds.size(); ++s) {
    const std::string wave = nel::analysis::WaveKindName(rec.kinds[s]);
    float lowest = rec.records[0].Wave[s], highest = lowest;
    for (size_t i = 0; i < rec.records.size(); ++i) {
      const float v = rec.records[i].Wave[s];
      if (!std::isfinite(v)) {
        error = wave + " record " + std::to_string(i) + " is not a number";
        return false;
      }
      lowest = std::min(lowest, v);
      highest = std::max(highest, v);
    }
    Scale& scale = scales.emplace_back();
    if (!PhysicalRange(lowest, highest, scale.min, scale.max)) {
      error = wave + " holds values too large for the file";
      return false;
    }
  }
  return true;
}

#ifndef NELCTL_NO_EDF
// Sets the header of the open file; false with the reason.
bool WriteHeader(int handle, const nel::analysis::WaveRecordFile& rec, const std::vector<Scale>& scales,
                 const EdfSubject& subject, int annotationSignals, std::string& error) {
  for (size_t s = 0; s < rec.kinds.size(); ++s) {
    const int sig = static_cast<int>(s);
    const tagTYPE_NEL_WAVEDATA kind = rec.kinds[s];
    const SignalInfo info = InfoOf(kind);
    if (edf_set_samplefrequency(handle, sig, rec.sampleRate) != 0 ||
        edf_set_physical_minimum(handle, sig, ForHeader(scales[s].min)) != 0 ||
        edf_set_physical_maximum(handle, sig, ForHeader(scales[s].max)) != 0 ||
        edf_set_digital_minimum(handle, sig, kDigitalMin) != 0 ||
        edf_set_digital_maximum(handle, sig, kDigitalMax) != 0 ||
        edf_set_label(handle, sig, nel::analysis::WaveKindName(kind)) != 0 ||
        edf_set_physical_dimension(handle, sig, info.dimension) != 0 ||
        edf_set_prefilter(handle, sig, info.prefilter) != 0 ||
        edf_set_transducer(handle, sig, info.transducer.c_str()) != 0) {
      error = "EDFlib refused the signal parameters of " + std::string(nel::analysis::WaveKindName(kind));
      return false;
    }
  }
  Date start{1985, 1, 1};
  if (!subject.start.empty()) ParseDate(subject.start, true, start);
  Date birth;
  const bool hasBirth = !subject.birth.empty() && ParseDate(subject.birth, false, birth);
  const unsigned version = static_cast<unsigned>(GetBPVersion());
  const std::string equipment = "nel " + std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF);
  const int sex = SexCode(subject.sex);
  if (edf_set_startdatetime(handle, start.year, start.month, start.day, start.hour, start.minute, start.second) != 0 ||
      (!subject.code.empty() && edf_set_patientcode(handle, Latin1(subject.code).c_str()) != 0) ||
      (!subject.name.empty() && edf_set_patientname(handle, Latin1(subject.name).c_str()) != 0) ||
      (sex >= 0 && edf_set_gender(handle, sex) != 0) ||
      (hasBirth && edf_set_birthdate(handle, birth.year, birth.month, birth.day) != 0) ||
      edf_set_equipment(handle, equipment.c_str()) != 0 ||
      edf_set_number_of_annotation_signals(handle, annotationSignals) != 0) {
    error = "EDFlib refused the header";
    return false;
  }
  return true;
}

// The samples, one data record at a time, then the annotations. The samples
// go in as digital values rounded to the nearest step: EDFlib's own conversion
// of physical values reads back over one step off.
bool WriteBody(int handle, const nel::analysis::WaveRecordFile& rec, const std::vector<Scale>& scales,
               std::string& error) {
  const size_t n = rec.records.size();
  const size_t rate = static_cast<size_t>(rec.sampleRate);
  const EdfCounts counts = CountEdf(rec);
  std::vector<int> buf(rate);
  for (long long r = 0; r < counts.dataRecords; ++r) {
    for (size_t s = 0; s < rec.kinds.size(); ++s) {
      const double steps = static_cast<double>(kDigitalMax) - kDigitalMin;
      const double perUnit = steps / (scales[s].max - scales[s].min);
      for (size_t k = 0; k < rate; ++k) {
        const double v = rec.records[std::min(static_cast<size_t>(r) * rate + k, n - 1)].Wave[s];
        buf[k] = kDigitalMin + static_cast<int>(std::clamp(std::round((v - scales[s].min) * perUnit), 0.0, steps));
      }
      if (edfwrite_digital_samples(handle, buf.data()) != 0) {
        error = "cannot write the samples";
        return false;
      }
    }
  }
  auto at = [&](size_t record) {
    return std::llround(static_cast<double>(record) * kAnnotationUnitsPerSecond / rec.sampleRate);
  };
  for (size_t i = 0; i < n; ++i) {
    for (size_t p = 0; p < rec.kinds.size(); ++p) {
      const uint8_t mark = rec.records[i].Mark[p];
      if (mark != 0 && edfwrite_annotation_utf8(handle, at(i), -1, MarkText(rec.kinds[p], mark).c_str()) != 0) {
        error = "cannot store the annotations";
        return false;
      }
    }
  }
  const size_t filled = static_cast<size_t>(counts.dataRecords) * rate;
  if (filled > n && edfwrite_annotation_utf8(handle, at(n), at(filled) - at(n), "padding") != 0) {
    error = "cannot store the annotations";
    return false;
  }
  return true;
}

#endif

}  // namespace

EdfCounts CountEdf(const nel::analysis::WaveRecordFile& rec) {
  EdfCounts c;
  c.signals = static_cast<int>(rec.kinds.size());
  const long long n = static_cast<long long>(rec.records.size());
  if (rec.sampleRate <= 0) return c;
  c.dataRecords = (n + rec.sampleRate - 1) / rec.sampleRate;
  for (const tagSAVE_WAVEDATA& r : rec.records)
    for (size_t p = 0; p < rec.kinds.size() && p < 6; ++p) c.annotations += r.Mark[p] != 0;
  if (c.dataRecords * rec.sampleRate > n) ++c.annotations;
  return c;
}

bool CheckEdfSubject(const EdfSubject& subject, std::string& error) {
  Date d;
  if (SexCode(subject.sex) == -2) {
    error = "sex \"" + subject.sex + "\" is not M or F";
  } else if (!subject.birth.empty() && (!ParseDate(subject.birth, false, d) || d.year < 1800 || d.year > 3000)) {
    error = "birth date \"" + subject.birth + "\" is not a date YYYY-MM-DD";
  } else if (!subject.start.empty() && (!ParseDate(subject.start, true, d) || d.year < 1985 || d.year > 2084)) {
    error = "start \"" + subject.start + "\" is not a time YYYY-MM-DDTHH:MM:SS from 1985 to 2084";
  } else {
    return true;
  }
  return false;
}

bool WriteEdf(const std::string& path, const nel::analysis::WaveRecordFile& rec, const EdfSubject& subject,
              std::string& error) {
  const auto fail = [&](const std::string& why) {
    error = path + ": " + why;
    return false;
  };
  try {
    if (rec.records.empty()) return fail("the wave record is empty");
    if (rec.kinds.empty() || rec.kinds.size() > 6) return fail("the wave record has no waves or more than six");
    for (const tagTYPE_NEL_WAVEDATA kind : rec.kinds)
      if (!nel::analysis::WaveKindName(kind)) return fail("unknown wave kind " + std::to_string(kind));
    if (rec.sampleRate <= 0) return fail("sample rate " + std::to_string(rec.sampleRate) + " is not positive");
    std::string why;
    if (!CheckEdfSubject(subject, why)) return fail(why);
    const EdfCounts counts = CountEdf(rec);
    const long long capacity = counts.dataRecords * kMaxAnnotationSignals;
    if (counts.annotations > capacity)
      return fail(std::to_string(counts.annotations) + " annotations, more than the " + std::to_string(capacity) +
                  " a file of " + std::to_string(counts.dataRecords) + " s can hold");
    const long long perRecord = (counts.annotations + counts.dataRecords - 1) / counts.dataRecords;
    const int annotationSignals = static_cast<int>(std::max(1LL, perRecord));

    std::vector<Scale> scales;
    if (!Scales(rec, scales, why)) return fail(why);

#ifdef NELCTL_NO_EDF
    (void)annotationSignals;
    return fail("this nelctl was built without EDF export (no EDFlib)");
#else
    const int handle = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, counts.signals);
    if (handle == EDFLIB_NO_SUCH_FILE_OR_DIRECTORY) return fail("cannot create the file");
    if (handle < 0) return fail("cannot open the file for writing (EDFlib error " + std::to_string(handle) + ")");
    const bool written =
        WriteHeader(handle, rec, scales, subject, annotationSignals, why) && WriteBody(handle, rec, scales, why);
    const bool closed = edfclose_file(handle) == 0;
    if (written && closed) return true;
    std::remove(path.c_str());
    return fail(written ? "cannot finish the file" : why);
#endif
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace nelctl
