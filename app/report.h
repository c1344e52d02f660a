// The exam report: one self-contained HTML page (inline CSS, figures as inline
// SVG) made from a session folder (docs/session.md). It opens without network
// access and prints on A4.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>

namespace nelctl {

// A session folder as the report reads it. Only results.json is required; a
// piece that is missing or unreadable leaves a line in `missing` and the
// report says so where that piece would be.
struct Session {
  nlohmann::json results;  // results.json
  nlohmann::json bp;       // bp.json; null when missing
  nel::analysis::WaveRecordFile record;
  bool hasRecord = false;
  std::vector<std::string> missing;  // "bp.json: cannot open ..."
};

// False with the reason in `error` when results.json cannot be read or is not a session's.
bool LoadSession(const std::string& sessionDir, Session& out, std::string& error);

std::string ReportHtml(const Session& session);

// Writes the report of a loaded session to `outHtml`.
bool WriteReportFile(const Session& session, const std::string& outHtml, std::string& error);

// Loads the session and writes its report to `outHtml`.
bool WriteReport(const std::string& sessionDir, const std::string& outHtml, std::string& error);

// The diagnostic band of a limb index, judged on the value as the report shows
// it (two decimals). Ankle-brachial: > 1.40 non-compressible, 1.00-1.40
// normal, 0.91-0.99 borderline, <= 0.90 peripheral artery disease.
// Toe-brachial: >= 0.70 normal, < 0.70 abnormal. Zero or less: not measured.
struct IndexBand {
  const char* text;
  const char* cssClass;  // "band-normal", "band-borderline", "band-abnormal", "band-none"
};
IndexBand ClassifyIndex(bool toe, double value);

}  // namespace nelctl
