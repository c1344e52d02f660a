// Steps shared by the measurement subcommands and nelctl exam: the limbs'
// BP into a wave record file's pressures, the hold and the 15 s wave record,
// the signal check, and the analysis of a record as JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "bp_run.h"
#include "facade_host.h"

namespace nelctl {

// Measures the category's four cuffs (`mode`, `maxPressure`); their
// pressures go into the file's limb slots.
BPOutcome MeasureLimbs(FacadeHost& host, tagTYPE_DETECTCATEGORY category, tagTYPE_BPMEASUREMODE mode, int maxPressure,
                       nel::analysis::WaveRecordFile& file);

// Holds the cuffs at `pressure` until the hold is established, stops its
// regulation with the cuffs inflated, runs the wave record and fills the
// file's records and wave list. Throws Failure.
void HoldAndRecord(FacadeHost& host, int pressure, nel::analysis::WaveRecordFile& file);

// The signal check of the category's waves: {"waves": [{wave, base, datum, usedBase, usedDatum}]}.
nlohmann::json SignalCheck(FacadeHost& host);

// The accepted pulses of the cuff at `position` in the category's list:
// {cuff, label, sbpIndex, mapIndex, dbpIndex, ratio, pulses: [{pressure, amplitude}]}.
nlohmann::json PulseEnvelope(FacadeHost& host, int position);

// Analyses `rec` (its mark bytes are written by the analysis) with the
// file's pressures. `reason` gets the result's text; returns the results
// (without the marks) and whether the analysis completed.
struct AnalysisSettings {
  bool ankle = true;
  int height = 170;
  float pwvFactor = 0.0f;
  bool filter = false;
};
nlohmann::json AnalyseRecord(nel::analysis::WaveRecordFile& rec, const tagLIMBRESULT (&limbs)[4],
                             const AnalysisSettings& s, bool& ok, std::string& reason);

}  // namespace nelctl
