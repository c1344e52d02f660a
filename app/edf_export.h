// A wave record as an EDF+ file (European Data Format, written with EDFlib):
// one signal per wave, 1 s data records, the analysis's marks as annotations.
//
// Signals, in the record's wave order, labelled with the wave names (ECG, PCG,
// RBra, ...):
//   ECG          mV    (count - base) / datum, the unit's datum being its counts per mV
//   PCG          AU    heart sound relative to the amplitude the signal check found (no unit)
//   pulse waves  mmHg  the cuff pressure's oscillation, 0.3-22 Hz, around the held pressure
// Physical minimum and maximum are each wave's extremes widened by 5 % of its
// range (a flat wave by 1 unit or 5 % of its value), rounded outwards to what
// the 8-character header fields hold; digital range -32768..32767.
//
// A record whose length is not a whole number of seconds fills its last data
// record by holding each wave's last sample; an annotation "padding" covers
// the filled part, so that a reader can tell the record ends before the file.
//
// Marks (data_ana.h MARK_*) become annotations at their sample's time:
//   ECG 1 "R", 2 "QRS onset"; PCG 1 "S1", 2 "S2";
//   pulse waves 1 "<wave> peak", 2 "<wave> foot", 3 "<wave> notch", 4 "<wave> P",
//   5 "<wave> T", 6 "<wave> P+T", 7 "<wave> valley"; any other value "<wave> mark <n>".
// EDFlib stores one annotation per annotation signal and data record, and
// allows 64 annotation signals: a record with more marks than 64 per second of
// file is refused rather than cut.
//
// EDFlib keeps its open files in process-wide tables: one export at a time.
#pragma once

#include <string>

#include <nel/analysis/wave_record_file.h>

namespace nelctl {

// The subject and the recording's start, as the EDF+ header holds them. Empty
// fields are written as unknown ("X"). Text is UTF-8; the header keeps ASCII
// only (accented Latin letters lose their accents, other characters become '?').
struct EdfSubject {
  std::string code;   // patient code (the exam's subject id)
  std::string name;   // patient name
  std::string sex;    // "M", "F" (or "male", "female", any case); empty: unknown
  std::string birth;  // "YYYY-MM-DD"; empty: unknown
  // Start of the recording, "YYYY-MM-DDTHH:MM:SS" (a trailing "Z" is allowed;
  // EDF+ has no time zone, the time is written as given). Empty: 1985-01-01
  // 00:00:00, the EDF+ convention for a start that is not known.
  std::string start;
};

// What the file of a record holds.
struct EdfCounts {
  int signals = 0;
  long long dataRecords = 0;  // of 1 s each
  long long annotations = 0;  // marks, plus "padding" when the last data record is filled
};
EdfCounts CountEdf(const nel::analysis::WaveRecordFile& rec);

// Whether this nelctl writes EDF+ files: not without EDFlib (a Windows build).
#ifdef NELCTL_NO_EDF
inline constexpr bool kEdfExport = false;
#else
inline constexpr bool kEdfExport = true;
#endif

// Checks the subject's fields; false with the reason when one cannot be written.
bool CheckEdfSubject(const EdfSubject& subject, std::string& error);

// Writes `rec` to `path` (replacing a file there). False with the reason in
// `error` (prefixed with the path) when the record cannot be written: no
// records or waves, an unknown wave kind, a sample rate that is not positive,
// a sample that is not a finite number, too many marks, a subject field that
// CheckEdfSubject refuses, or a file that cannot be written (no file is left
// behind then). Throws nothing.
// A build without EDFlib (Windows) refuses every record, with that reason.
bool WriteEdf(const std::string& path, const nel::analysis::WaveRecordFile& rec, const EdfSubject& subject,
              std::string& error);

}  // namespace nelctl
