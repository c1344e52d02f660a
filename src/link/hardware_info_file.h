// The hardware information file HardInf.ini: one section "BED<n>" per unit
// (unit number + 1), read into and written from a tagHARDWAREINF.
//
// Used by the façade (its parameter file path) and by the CVRR analysis (the
// file beside the executable). Safe to call from any thread (the INI services
// serialise writers of one file).
#pragma once

#include <cstdint>
#include <string>

#include <nel/link/records.h>

namespace nel::link {

inline constexpr const char* kHardwareInfoFileName = "HardInf.ini";

// "BED%d" with unit + 1 (unit 0 is BED1).
std::string HardwareInfoSection(int32_t unit);

// The values used when no file is consulted: ComPort 4; ECG and PCG base
// 2130; ECG datum 665, PCG datum 100; the six pulse kinds base 400000 and
// datum 3500.
tagHARDWAREINF BuiltInHardwareInfo();

// Fills *info with the built-in values; unless path is empty, then reads
// COMPORT, ADBASE_ECG, ADDATUM_ECG, ADBASE_PCG, ADDATUM_PCG and, for each of the
// six pulse kinds, ADBASE_PULSE and ADDATUM_PULSE from the unit's section, a
// missing key giving the file default (3, 2130, 665, 2130, 2048, 400000,
// 3500). A null info does nothing.
void ReadHardwareInfo(const std::string& path, int32_t unit, tagHARDWAREINF* info);

// Writes COMPORT, ADBASE_ECG, ADDATUM_ECG, ADBASE_PCG, ADDATUM_PCG,
// ADBASE_PULSE and ADDATUM_PULSE (the first pulse kind's values) in that order,
// as decimal text. Returns false when a key could not be written.
bool WriteHardwareInfo(const std::string& path, int32_t unit, const tagHARDWAREINF& info);

}  // namespace nel::link
