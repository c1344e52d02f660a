// Wave record files: a finished wave record as `nelctl record` saves it and
// `nelctl analyse` reads it.
//
// A text header of lines, then the records as they lie in memory:
//
//   NELWAVE 1
//   rate 1000
//   waves ECG PCG RBra LBra RAnk LAnk
//   records 15000
//   bp 120/80/93 118/78/91 132/82/99 108/70/83     (optional)
//   data
//   <records x 30 bytes: tagSAVE_WAVEDATA, six little-endian floats, six mark bytes>
//
// Wave names are the log names of the channels plus ECG and PCG, in record
// position order (at most six). The optional bp line gives the four limb
// pressures in tagLIMBRESULT order (right arm, left arm, right lower limb,
// left lower limb); -1 marks a pressure that was not measured.
//
// How the reader bounds its memory: see docs/decisions.md, "Wave record file". Sample values are taken as they
// are: the analysis refuses values it cannot use (TnelDataAna::AnaResult).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <nel/analysis/data_ana.h>
#include <nel/export.h>
#include <nel/link/records.h>

namespace nel::analysis {

struct WaveRecordFile {
  int32_t sampleRate = 1000;
  std::vector<tagTYPE_NEL_WAVEDATA> kinds;  // wave kind at each record position
  std::vector<tagSAVE_WAVEDATA> records;
  bool hasPressures = false;
  tagLIMBRESULT pressures[4] = {{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}};
};

inline constexpr int32_t kMaxWaveRecordFileRecords = 1 << 24;

// Name of a wave kind in the file ("ECG", "PCG", "RBra", ...); nullptr for other values.
NEL_API const char* WaveKindName(int32_t kind);
// Kind of a name (case-insensitive); -1 when unknown.
NEL_API int32_t WaveKindFromName(const std::string& name);

// All return false with a message for the user in `error` (the file functions
// prefix it with the path) and throw nothing. A failed read leaves `out`
// partly filled.
NEL_API bool ReadWaveRecord(std::istream& in, WaveRecordFile& out, std::string& error);
NEL_API bool WriteWaveRecord(std::ostream& out, const WaveRecordFile& in, std::string& error);
NEL_API bool ReadWaveRecordFile(const std::string& path, WaveRecordFile& out, std::string& error);
NEL_API bool WriteWaveRecordFile(const std::string& path, const WaveRecordFile& in, std::string& error);

}  // namespace nel::analysis
