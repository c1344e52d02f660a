// Exam session folders (docs/session.md): the names of their files and what
// every session's results carry.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace nelctl {

inline constexpr const char* kSessionResults = "results.json";
inline constexpr const char* kSessionRecord = "record.nelwave";
inline constexpr const char* kSessionEnvelopes = "bp.json";
inline constexpr const char* kSessionStream = "stream.nelraw";
inline constexpr const char* kSessionEdf = "record.edf";
inline constexpr const char* kSessionReport = "report.html";

// The units of the values in results.json.
nlohmann::json SessionUnits();
// The library's version as "major.minor" (GetBPVersion).
std::string LibraryVersionText();

}  // namespace nelctl
