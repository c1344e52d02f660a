// A multi-cuff BP measurement through the façade, shared by nelctl bp and
// nelctl record (which measures before it records).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "facade_host.h"

namespace nelctl {

struct BPRequest {
  std::vector<tagTYPE_NEL_BPDATA> cuffs;  // channels to measure
  tagTYPE_BPMEASUREMODE mode = BPMEASURE_SIMULTANEOUS;
  int maxPressure = 250;
};

struct CuffResult {
  int channel = 0;
  int position = 0;  // in the category's cuff list
  int sbp = -1, dbp = -1, map = -1;
  int status = BPVSTA_MEASURING;  // the last final status the cuff reported
  int attempts = 1;
  bool finished = false;  // a final status was reported
};

struct BPOutcome {
  tagTYPE_BPMEASUREMODE mode = BPMEASURE_SIMULTANEOUS;
  int maxPressure = 250;
  int pulseRate = 0;      // the expected pulse rate handed to the measurement
  int trackedRate = -1;   // the ECG tracker's rate before the measurement (-1: none)
  double seconds = 0.0;   // the unit's time the measurement took
  bool complete = false;  // every cuff finished with a result
  std::vector<CuffResult> cuffs;
};

// Parses "rbra,lbra,rank,lank" (empty: the category's four cuffs).
std::vector<tagTYPE_NEL_BPDATA> ParseCuffs(const std::string& list, tagTYPE_DETECTCATEGORY category);

// Lets the heart rate settle for a few seconds, then measures the cuffs and
// cancels the measurement (the cuffs deflate). Throws Failure on time-out.
BPOutcome MeasureBP(FacadeHost& host, const BPRequest& req);

// Ankle (or toe) systolic pressure over the higher arm systolic; -1 when one is missing.
double LimbIndex(const BPOutcome& bp, int limbChannel);

nlohmann::json BPToJson(const BPOutcome& bp);
void PrintBPTable(const BPOutcome& bp);

}  // namespace nelctl
