// The exam report of a session folder: header, results, signal check, the
// wave record with its marks and the oscillometric envelope of each cuff, as
// one HTML page with inline CSS and SVG drawn here (see docs/decisions.md,
// "Report drawn as inline SVG").
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <sstream>

#include <nel/analysis/data_ana.h>
#include "session.h"

namespace nelctl {

namespace {

using nlohmann::json;

constexpr const char* kSessionFormat = "nel-session 1";

// ---------------------------------------------------------------------------
// Reading results.json: every field may be absent or of another type.

const json& At(const json& j, const char* key) {
  static const json kNone;
  if (!j.is_object()) return kNone;
  const auto it = j.find(key);
  return it == j.end() ? kNone : *it;
}

double Num(const json& j, const char* key) {
  const json& v = At(j, key);
  return v.is_number() ? v.get<double>() : std::numeric_limits<double>::quiet_NaN();
}

std::string Str(const json& j, const char* key) {
  const json& v = At(j, key);
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number() || v.is_boolean()) return v.dump();
  return "";
}

std::string Fmt(const char* format, double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Esc(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A value with its unit, or a dash when the result is not there: absent, or at
// most `none` (the analysis leaves -1 or 0 for what it could not compute).
std::string Value(double v, const char* format, const std::string& unit, double none = 0) {
  if (!std::isfinite(v) || v <= none) return "&ndash;";
  return Fmt(format, v) + (unit.empty() || unit == "1" ? "" : " " + Esc(unit));
}

std::string Unit(const json& results, const char* key, const char* fallback) {
  const std::string u = Str(At(results, "units"), key);
  return u.empty() ? fallback : u;
}

std::string Missing(const std::string& what) { return "<p class=\"missing\">" + Esc(what) + "</p>\n"; }

// ---------------------------------------------------------------------------
// A small SVG writer: elements appended as text, pixel coordinates with one decimal.

class Svg {
 public:
  Svg(int width, int height, const std::string& attributes) {
    s_ = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"figure\" " + attributes + " viewBox=\"0 0 " +
         std::to_string(width) + " " + std::to_string(height) + "\" width=\"" + std::to_string(width) + "\" height=\"" +
         std::to_string(height) + "\">\n";
  }
  void Line(double x1, double y1, double x2, double y2, const std::string& cls, const std::string& title = "") {
    s_ += "<line class=\"" + cls + "\" x1=\"" + P(x1) + "\" y1=\"" + P(y1) + "\" x2=\"" + P(x2) + "\" y2=\"" + P(y2);
    Close("line", title);
  }
  void Circle(double x, double y, double r, const std::string& cls, const std::string& title = "") {
    s_ += "<circle class=\"" + cls + "\" cx=\"" + P(x) + "\" cy=\"" + P(y) + "\" r=\"" + P(r);
    Close("circle", title);
  }
  void Rect(double x, double y, double w, double h, const std::string& cls) {
    s_ += "<rect class=\"" + cls + "\" x=\"" + P(x) + "\" y=\"" + P(y) + "\" width=\"" + P(w) + "\" height=\"" + P(h) +
          "\"/>\n";
  }
  void Text(double x, double y, const std::string& text, const std::string& cls, const char* anchor = "start") {
    s_ += "<text class=\"" + cls + "\" x=\"" + P(x) + "\" y=\"" + P(y) + "\" text-anchor=\"" + anchor + "\">" +
          Esc(text) + "</text>\n";
  }
  void Polyline(const std::vector<std::pair<double, double>>& points, const std::string& cls) {
    if (points.empty()) return;
    s_ += "<polyline class=\"" + cls + "\" points=\"";
    for (const auto& [x, y] : points) s_ += P(x) + "," + P(y) + " ";
    s_.back() = '"';
    s_ += "/>\n";
  }
  std::string Finish() { return s_ + "</svg>\n"; }

 private:
  static std::string P(double v) { return Fmt("%.1f", v); }
  void Close(const char* element, const std::string& title) {
    if (title.empty()) {
      s_ += "\"/>\n";
    } else {
      s_ += "\"><title>" + Esc(title) + "</title></" + element + ">\n";
    }
  }
  std::string s_;
};

// A plot area in pixels and the data range it shows.
struct Axes {
  double left, top, width, height;  // pixels
  double x0, x1, y0, y1;            // data
  double X(double x) const { return left + (x - x0) / (x1 - x0) * width; }
  double Y(double y) const { return top + height - (y - y0) / (y1 - y0) * height; }
};

// 1, 2 or 5 times a power of ten, giving about `count` steps over `range`.
double TickStep(double range, int count) {
  const double raw = range / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double n = raw / magnitude;
  return (n < 1.5 ? 1 : n < 3 ? 2 : n < 7 ? 5 : 10) * magnitude;
}

std::string TickLabel(double v, double step) {
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(v) < step * 1e-6 ? 0.0 : v);
  return buf;
}

// Frame, grid, ticks with their labels and the axis titles.
void DrawAxes(Svg& svg, const Axes& a, double xStep, const std::string& xTitle, const std::string& yTitle) {
  const double yStep = TickStep(a.y1 - a.y0, std::max(3, static_cast<int>(a.height / 26)));
  for (double y = std::ceil(a.y0 / yStep) * yStep; y <= a.y1 + yStep * 1e-6; y += yStep) {
    svg.Line(a.left, a.Y(y), a.left + a.width, a.Y(y), "grid");
    svg.Line(a.left - 4, a.Y(y), a.left, a.Y(y), "tick");
    svg.Text(a.left - 6, a.Y(y) + 3.5, TickLabel(y, yStep), "tick-label", "end");
  }
  for (double x = std::ceil(a.x0 / xStep) * xStep; x <= a.x1 + xStep * 1e-6; x += xStep) {
    svg.Line(a.X(x), a.top + a.height, a.X(x), a.top + a.height + 4, "tick");
    svg.Text(a.X(x), a.top + a.height + 14, TickLabel(x, xStep), "tick-label", "middle");
  }
  svg.Rect(a.left, a.top, a.width, a.height, "frame");
  svg.Text(a.left + a.width, a.top + a.height + 26, xTitle, "axis-title", "end");
  svg.Text(4, 13, yTitle, "axis-title");
}

// ---------------------------------------------------------------------------
// Wave figures.

struct MarkStyle {
  uint8_t value;
  const char* cls;
  const char* name;
};
constexpr MarkStyle kEcgMarks[] = {{MARK_ECG_R, "mark-r", "R peak"}, {MARK_ECG_ONSET, "mark-onset", "QRS onset"}};
constexpr MarkStyle kPcgMarks[] = {{MARK_PCG_S1, "mark-s1", "S1"}, {MARK_PCG_S2, "mark-s2", "S2"}};
constexpr MarkStyle kPulseMarks[] = {{MARK_PULSE_FOOT, "mark-foot", "foot"},
                                     {MARK_PULSE_PEAK, "mark-peak", "peak"},
                                     {MARK_PULSE_NOTCH, "mark-notch", "notch"}};

std::span<const MarkStyle> MarksOf(int32_t kind) {
  if (kind == WAVE_ECG) return kEcgMarks;
  if (kind == WAVE_PCG) return kPcgMarks;
  return kPulseMarks;
}

constexpr int kFigureWidth = 760;

// One wave of the record over its whole length. The trace keeps the lowest
// and the highest sample of every pixel column (in their order), so that no
// peak is lost; every mark of the drawn kinds is its own circle at its record.
// The trace thinned to the figure's pixel columns: each column's lowest and
// highest sample, in their order, so that no peak is lost.
std::vector<std::pair<double, double>> Trace(const nel::analysis::WaveRecordFile& rec, size_t pos, const Axes& a) {
  const size_t n = rec.records.size();
  std::vector<std::pair<double, double>> trace;
  const int columns = static_cast<int>(a.width);
  for (int c = 0; c < columns; ++c) {
    const size_t begin = n * c / columns, end = n * (c + 1) / columns;
    size_t iMin = end, iMax = end;
    for (size_t i = begin; i < end; ++i) {
      const float v = rec.records[i].Wave[pos];
      if (!std::isfinite(v)) continue;
      if (iMin == end || v < rec.records[iMin].Wave[pos]) iMin = i;
      if (iMax == end || v > rec.records[iMax].Wave[pos]) iMax = i;
    }
    if (iMin == end) continue;
    const double x = a.left + c + 0.5;
    const size_t first = std::min(iMin, iMax), second = std::max(iMin, iMax);
    trace.emplace_back(x, a.Y(rec.records[first].Wave[pos]));
    if (second != first) trace.emplace_back(x, a.Y(rec.records[second].Wave[pos]));
  }
  return trace;
}

std::string WaveFigure(const nel::analysis::WaveRecordFile& rec, size_t pos) {
  const int32_t kind = rec.kinds[pos];
  const char* name = nel::analysis::WaveKindName(kind);
  const size_t n = rec.records.size();
  const double fs = rec.sampleRate;

  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const auto& r : rec.records) {
    const double v = r.Wave[pos];
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  }
  if (!(lo <= hi)) lo = -1, hi = 1;
  const double pad = hi > lo ? (hi - lo) * 0.08 : 1.0;
  const int height = kind == WAVE_ECG ? 150 : 120;
  const Axes a{52, 24, kFigureWidth - 64.0, height - 58.0, 0, n / fs, lo - pad, hi + pad};

  Svg svg(kFigureWidth, height, std::string("data-wave=\"") + (name ? name : "?") + "\"");
  // ECG in mV (the datum is the unit's counts per mV), PCG relative to its half range, pulse waves the oscillation
  // around the held pressure.
  const char* unit = kind == WAVE_ECG ? ", mV" : kind == WAVE_PCG ? ", relative" : ", mmHg";
  DrawAxes(svg, a, 1.0, "time, s", std::string(name ? name : "?") + unit);

  svg.Polyline(Trace(rec, pos, a), "trace");

  const auto styles = MarksOf(kind);
  std::vector<int> counts(styles.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t m = rec.records[i].Mark[pos];
    if (m == 0) continue;
    for (size_t k = 0; k < styles.size(); ++k) {
      if (styles[k].value != m) continue;
      const float v = rec.records[i].Wave[pos];
      const double y = std::isfinite(v) ? a.Y(v) : a.top + a.height / 2;
      svg.Circle(a.X(i / fs), y, 3, std::string("mark ") + styles[k].cls,
                 std::string(styles[k].name) + ", " + Fmt("%.3f s", i / fs));
      ++counts[k];
    }
  }
  // The legend: each kind of mark with its count.
  double x = a.left + a.width;
  for (size_t k = styles.size(); k-- > 0;) {
    const std::string label = std::string(styles[k].name) + " (" + std::to_string(counts[k]) + ")";
    svg.Text(x, a.top - 8, label, "legend", "end");
    x -= label.size() * 5.6 + 10;
    svg.Circle(x + 4, a.top - 11.5, 3, std::string("swatch ") + styles[k].cls + "-swatch");
    x -= 8;
  }
  return svg.Finish();
}

// ---------------------------------------------------------------------------
// Oscillometric envelopes (bp.json).

struct BpMarker {
  const char* key;
  const char* cls;
  const char* name;
};
constexpr BpMarker kBpMarkers[] = {{"sbp", "bp-sbp", "SBP"}, {"map", "bp-map", "MAP"}, {"dbp", "bp-dbp", "DBP"}};

std::string EnvelopeFigure(const json& cuff, const std::string& pressureUnit) {
  std::string label = Str(cuff, "label");
  if (label.empty()) label = Str(cuff, "cuff");
  std::vector<std::pair<double, double>> pulses;  // pressure, amplitude
  const json& list = At(cuff, "pulses");
  if (list.is_array())
    for (const json& p : list) {
      const double pressure = Num(p, "pressure"), amplitude = Num(p, "amplitude");
      if (std::isfinite(pressure) && std::isfinite(amplitude)) pulses.emplace_back(pressure, amplitude);
    }
  double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, top = 0;
  for (const auto& [p, amp] : pulses) x0 = std::min(x0, p), x1 = std::max(x1, p), top = std::max(top, amp);
  for (const BpMarker& m : kBpMarkers)
    if (Num(cuff, m.key) > 0) x0 = std::min(x0, Num(cuff, m.key)), x1 = std::max(x1, Num(cuff, m.key));
  if (!(x0 < x1)) x0 = 0, x1 = 200;
  const double xPad = (x1 - x0) * 0.05;
  const int width = kFigureWidth / 2 - 6, height = 200;
  const Axes a{
      52, 40, width - 64.0, height - 76.0, std::floor(x0 - xPad), std::ceil(x1 + xPad), 0, top > 0 ? top * 1.15 : 1.0};

  Svg svg(width, height, "data-cuff=\"" + Esc(label) + "\"");
  DrawAxes(svg, a, TickStep(a.x1 - a.x0, 5), "cuff pressure, " + pressureUnit, label + " oscillation amplitude");
  std::string status = Str(cuff, "status");
  svg.Text(width - 12, 12, status.empty() ? "" : "status " + status, "legend", "end");
  if (pulses.empty()) svg.Text(a.left + a.width / 2, a.top + a.height / 2, "no accepted pulses", "note", "middle");
  std::vector<std::pair<double, double>> line;
  for (const auto& [p, amp] : pulses) line.emplace_back(a.X(p), a.Y(amp));
  svg.Polyline(line, "envelope");
  for (const auto& [x, y] : line) svg.Circle(x, y, 2.5, "pulse");
  for (const BpMarker& m : kBpMarkers) {
    const double v = Num(cuff, m.key);
    if (!(v > 0)) continue;
    const std::string text = std::string(m.name) + " " + Fmt("%.0f", v);
    svg.Line(a.X(v), a.top, a.X(v), a.top + a.height, std::string("bp ") + m.cls, text + " " + pressureUnit);
    // MAP's label a line higher: it lies between the other two.
    const double y = a.top - (m.cls == std::string("bp-map") ? 15 : 4);
    svg.Text(a.X(v), y, text, std::string("bp-label ") + m.cls + "-label", "middle");
  }
  return svg.Finish();
}

// ---------------------------------------------------------------------------
// Sections of the page.

constexpr const char* kStyle = R"(
@page { size: A4; margin: 12mm; }
body { font: 13px/1.35 "DejaVu Sans", Arial, Helvetica, sans-serif; color: #222; max-width: 760px; margin: 16px auto; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 15px; margin: 18px 0 6px; border-bottom: 1px solid #bbb; }
table { border-collapse: collapse; margin: 4px 0 8px; } td, th { padding: 2px 10px 2px 0; text-align: left; }
th { color: #555; font-weight: normal; } td.num { text-align: right; }
table.grid td, table.grid th { border-bottom: 1px solid #e3e3e3; padding: 3px 14px 3px 4px; }
.status { display: inline-block; padding: 2px 10px; border-radius: 3px; font-weight: bold; color: #fff; }
.status-ok { background: #2e7d32; } .status-incomplete { background: #c62828; } .status-unknown { background: #777; }
.band { font-weight: bold; } .band-normal { color: #2e7d32; } .band-borderline { color: #b26a00; }
.band-abnormal { color: #c62828; } .band-none { color: #777; font-weight: normal; }
.cuff-ok { color: #2e7d32; } .cuff-fail { color: #c62828; }
.missing { color: #c62828; font-style: italic; } .note-text { color: #555; font-size: 11px; }
svg.figure { display: block; max-width: 100%; height: auto; margin: 2px 0 6px; }
.envelopes { display: flex; flex-wrap: wrap; justify-content: space-between; }
svg text { font: 10px "DejaVu Sans", Arial, sans-serif; fill: #333; }
svg .axis-title { font-weight: bold; } svg .legend { fill: #333; } svg .note { fill: #c62828; }
svg .frame { fill: none; stroke: #888; } svg .grid { stroke: #eee; } svg .tick { stroke: #888; }
svg .trace { fill: none; stroke: #1a1a1a; stroke-width: 0.8; stroke-linejoin: round; }
svg .envelope { fill: none; stroke: #1565c0; stroke-width: 1.2; } svg .pulse { fill: #1565c0; }
svg .mark, svg .swatch { stroke: #fff; stroke-width: 0.8; }
.mark-r, .mark-r-swatch { fill: #c62828; } .mark-onset, .mark-onset-swatch { fill: #8d6e63; }
.mark-s1, .mark-s1-swatch { fill: #1565c0; } .mark-s2, .mark-s2-swatch { fill: #8e24aa; }
.mark-foot, .mark-foot-swatch { fill: #2e7d32; } .mark-peak, .mark-peak-swatch { fill: #c62828; }
.mark-notch, .mark-notch-swatch { fill: #ef6c00; }
svg .bp { stroke-width: 1.2; stroke-dasharray: 4 3; } svg .bp-sbp { stroke: #c62828; } svg .bp-map { stroke: #2e7d32; }
svg .bp-dbp { stroke: #1565c0; } svg .bp-sbp-label { fill: #c62828; } svg .bp-map-label { fill: #2e7d32; }
svg .bp-dbp-label { fill: #1565c0; }
@media print {
  body { margin: 0; max-width: none; font-size: 11px; }
  header, table, svg.figure { break-inside: avoid; } h2 { break-after: avoid; }
  .status, .band, svg { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

bool ToeMode(const json& results) {
  return Str(results, "category") == "bra-toe" || Str(At(results, "analysis"), "mode") == "toe";
}

std::string Header(const Session& s) {
  const json& r = s.results;
  const json& subject = At(r, "subject");
  const json& ok = At(r, "ok");
  std::string status = "<span class=\"status status-unknown\">status unknown</span>";
  if (ok.is_boolean())
    status = ok.get<bool>() ? "<span class=\"status status-ok\">complete</span>"
                            : "<span class=\"status status-incomplete\">incomplete</span>";
  std::string why;
  const json& analysis = At(r, "analysis");
  if (At(analysis, "ok").is_boolean() && !At(analysis, "ok").get<bool>())
    why += " analysis: " + Esc(Str(analysis, "reason")) + ".";
  if (At(At(r, "bp"), "complete").is_boolean() && !At(At(r, "bp"), "complete").get<bool>())
    why += " Not every cuff gave a result.";

  const json& unit = At(r, "unit");
  std::string unitText = Str(unit, "port").empty() ? "" : "port " + Str(unit, "port");
  if (At(unit, "simulated").is_boolean() && At(unit, "simulated").get<bool>())
    unitText += (unitText.empty() ? "" : ", ") + std::string("virtual unit") +
                (Str(unit, "subject").empty() ? "" : ", subject " + Str(unit, "subject"));
  const std::string height = Str(subject, "height");
  const std::pair<const char*, std::string> fields[][2] = {
      {{"ID", Str(subject, "id")}, {"Exam time", Str(r, "time")}},
      {{"Name", Str(subject, "name")}, {"Category", Str(r, "category")}},
      {{"Sex", Str(subject, "sex")}, {"Library", Str(r, "library")}},
      {{"Born", Str(subject, "birth")}, {"Firmware", Str(r, "firmware")}},
      {{"Height", height.empty() ? "" : height + " cm"}, {"Unit", unitText}},
  };
  std::string h =
      "<header>\n<h1>Vascular screening report</h1>\n<p>" + status + why + "</p>\n<table class=\"subject\">\n";
  for (const auto& row : fields) {
    h += "<tr>";
    for (const auto& [name, value] : row)
      h += std::string("<th>") + name + "</th><td>" + (value.empty() ? "&ndash;" : Esc(value)) + "</td>";
    h += "</tr>\n";
  }
  return h + "</table>\n</header>\n";
}

// The BP table: results.json's measurement, else bp.json's cuffs.
std::string BpTable(const Session& s, const std::string& pressureUnit) {
  const json* cuffs = &At(At(s.results, "bp"), "cuffs");
  if (!cuffs->is_array()) cuffs = &At(s.bp, "cuffs");
  if (!cuffs->is_array()) return Missing("Blood pressure: not in this session.");
  static const std::pair<const char*, const char*> kLabels[] = {{"rbra", "Right arm"},   {"lbra", "Left arm"},
                                                                {"rank", "Right ankle"}, {"lank", "Left ankle"},
                                                                {"rtoe", "Right toe"},   {"ltoe", "Left toe"}};
  std::string t =
      "<table class=\"grid bp-table\">\n<tr><th>Limb</th><th>SBP</th><th>DBP</th><th>MAP</th><th>Status</th></tr>\n";
  for (const json& c : *cuffs) {
    std::string limb = Str(c, "cuff");
    for (const auto& [key, text] : kLabels)
      if (limb == key) limb = text;
    const std::string status = Str(c, "status");
    t += "<tr><td>" + Esc(limb) + "</td>";
    for (const char* key : {"sbp", "dbp", "map"})
      t += "<td class=\"num\">" + Value(Num(c, key), "%.0f", pressureUnit) + "</td>";
    t += "<td class=\"" + std::string(status == "ok" ? "cuff-ok" : "cuff-fail") + "\">" + Esc(status) + "</td></tr>\n";
  }
  return t + "</table>\n";
}

std::string IndexTable(const Session& s) {
  const json& r = s.results;
  const json& analysis = At(r, "analysis");
  const bool toe = ToeMode(r);
  const std::string pwvUnit = Unit(r, "pwv", "cm/s");
  struct Side {
    const char* name;
    const char* indexKey;  // in the analysis
    const char* limbKey;   // in the measurement's "index"
    const char* pwvKey;
  };
  const Side sides[] = {{"Right", toe ? "RightTBI" : "RightABI", toe ? "rtoe" : "rank", "RightPWV"},
                        {"Left", toe ? "LeftTBI" : "LeftABI", toe ? "ltoe" : "lank", "LeftPWV"}};
  const char* indexName = toe ? "TBI" : "ABI";
  std::string t = std::string("<table class=\"grid index-table\">\n<tr><th>Side</th><th>") + indexName +
                  "</th><th>Band</th><th>baPWV</th></tr>\n";
  for (const Side& side : sides) {
    double index = Num(analysis, side.indexKey);
    if (!(index > 0)) index = Num(At(At(r, "bp"), "index"), side.limbKey);
    const IndexBand band = ClassifyIndex(toe, index);
    t += std::string("<tr data-side=\"") + side.name + "\"><td>" + side.name + "</td><td class=\"num\">" +
         Value(index, "%.2f", "") + "</td><td class=\"band " + band.cssClass + "\">" + band.text +
         "</td><td class=\"num\">" + Value(Num(analysis, side.pwvKey), "%.0f", pwvUnit) + "</td></tr>\n";
  }
  t += "</table>\n<p class=\"note-text\">";
  t += toe ? "TBI bands: &ge; 0.70 normal; &lt; 0.70 abnormal."
           : "ABI bands: &gt; 1.40 non-compressible; 1.00&ndash;1.40 normal; 0.91&ndash;0.99 borderline; "
             "&le; 0.90 peripheral artery disease.";
  return t + "</p>\n";
}

std::string CardiacTable(const Session& s) {
  const json& r = s.results;
  const json& analysis = At(r, "analysis");
  const std::string time = Unit(r, "time", "ms");
  const std::pair<const char*, std::string> rows[] = {
      {"Heart rate", Value(Num(analysis, "HeartRate"), "%.0f", Unit(r, "heartRate", "1/min"))},
      {"PEP (pre-ejection period)", Value(Num(analysis, "PEP"), "%.0f", time)},
      {"ET (ejection time)", Value(Num(analysis, "ET"), "%.0f", time)},
      // -50, the lower limit, is also where a missing AIx ends.
      {"AIx (augmentation index)", Value(Num(analysis, "AIx"), "%.0f", Unit(r, "aix", "%"), -50)},
  };
  std::string t = "<table class=\"grid cardiac-table\">\n";
  for (const auto& [name, value] : rows)
    t += std::string("<tr><th>") + name + "</th><td class=\"num\">" + value + "</td></tr>\n";
  return t + "</table>\n";
}

std::string Results(const Session& s) {
  const json& r = s.results;
  std::string h = "<section id=\"results\">\n<h2>Results</h2>\n";
  h += BpTable(s, Unit(r, "pressure", "mmHg"));
  if (!At(r, "analysis").is_object()) h += Missing("Waveform analysis: not in results.json.");
  h += IndexTable(s) + CardiacTable(s);
  return h + "</section>\n";
}

std::string SignalCheck(const Session& s) {
  std::string h = "<section id=\"signal-check\">\n<h2>Signal check</h2>\n";
  const json& waves = At(At(s.results, "signalCheck"), "waves");
  if (!waves.is_array()) return h + Missing("Signal check: not in results.json.") + "</section>\n";
  h += "<table class=\"grid\">\n<tr><th>Wave</th><th>Base</th><th>Datum</th><th>Used base</th><th>Used "
       "datum</th></tr>\n";
  for (const json& w : waves) {
    h += "<tr><td>" + Esc(Str(w, "wave")) + "</td>";
    for (const char* key : {"base", "datum", "usedBase", "usedDatum"})
      h += "<td class=\"num\">" + Esc(Str(w, key)) + "</td>";
    h += "</tr>\n";
  }
  return h +
         "</table>\n<p class=\"note-text\">Unit counts: base = middle of the signal, datum = half its range.</p>\n" +
         "</section>\n";
}

std::string Waves(const Session& s) {
  std::string h = "<section id=\"waves\">\n<h2>Wave record</h2>\n";
  if (!s.hasRecord) return h + Missing("Wave record: not in this session.") + "</section>\n";
  const auto& rec = s.record;
  h += "<p class=\"note-text\">" + std::to_string(rec.records.size()) + " records at " +
       std::to_string(rec.sampleRate) +
       " Hz, drawn whole; each pixel column keeps its lowest and highest sample. Marks as the analysis set "
       "them.</p>\n";
  for (size_t p = 0; p < rec.kinds.size() && p < 6; ++p) h += WaveFigure(rec, p);
  return h + "</section>\n";
}

std::string Envelopes(const Session& s) {
  std::string h = "<section id=\"envelopes\">\n<h2>Oscillometric envelopes</h2>\n";
  const json& cuffs = At(s.bp, "cuffs");
  if (!cuffs.is_array()) return h + Missing("Oscillometric envelopes: bp.json is missing.") + "</section>\n";
  const std::string unit = Unit(s.results, "pressure", "mmHg");
  h += "<div class=\"envelopes\">\n";
  for (const json& c : cuffs) h += EnvelopeFigure(c, unit);
  return h + "</div>\n</section>\n";
}

bool ReadText(const std::filesystem::path& path, std::string& text, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

}  // namespace

IndexBand ClassifyIndex(bool toe, double value) {
  if (!std::isfinite(value) || value <= 0) return {"not measured", "band-none"};
  const long hundredths = std::lround(value * 100);
  if (toe) return hundredths >= 70 ? IndexBand{"normal", "band-normal"} : IndexBand{"abnormal", "band-abnormal"};
  if (hundredths > 140) return {"non-compressible", "band-abnormal"};
  if (hundredths >= 100) return {"normal", "band-normal"};
  if (hundredths >= 91) return {"borderline", "band-borderline"};
  return {"peripheral artery disease", "band-abnormal"};
}

bool LoadSession(const std::string& sessionDir, Session& out, std::string& error) {
  const std::filesystem::path dir(sessionDir), results = dir / kSessionResults;
  out = Session{};
  std::string text;
  if (!ReadText(results, text, error)) {
    error += " (a session folder without it is an exam that did not finish)";
    return false;
  }
  try {
    out.results = json::parse(text);
  } catch (const json::parse_error& e) {
    error = results.string() + " is not JSON: " + e.what();
    return false;
  }
  if (!out.results.is_object()) {
    error = results.string() + " does not hold a JSON object";
    return false;
  }
  const std::string format = Str(out.results, "format");
  if (format != kSessionFormat) {
    error = results.string() + ": format \"" + format + "\", expected \"" + kSessionFormat + "\"";
    return false;
  }

  std::string bpError;
  if (!ReadText(dir / kSessionEnvelopes, text, bpError)) {
    out.missing.push_back(std::string(kSessionEnvelopes) + ": " + bpError);
  } else {
    out.bp = json::parse(text, nullptr, false);
    if (!out.bp.is_object()) {
      out.missing.push_back(std::string(kSessionEnvelopes) + ": not a JSON object");
      out.bp = nullptr;
    }
  }

  std::string recordFile = Str(At(out.results, "record"), "file");
  if (recordFile.empty()) recordFile = kSessionRecord;
  std::string recordError;
  out.hasRecord = nel::analysis::ReadWaveRecordFile((dir / recordFile).string(), out.record, recordError);
  if (out.hasRecord && (out.record.sampleRate <= 0 || out.record.records.empty())) {
    out.hasRecord = false;
    recordError = (dir / recordFile).string() + ": no records";
  }
  if (!out.hasRecord) {
    out.record = {};
    out.missing.push_back(recordFile + ": " + recordError);
  }
  return true;
}

std::string ReportHtml(const Session& s) {
  std::string title = "Vascular screening report";
  const std::string id = Str(At(s.results, "subject"), "id");
  if (!id.empty()) title += " " + id;
  const std::string time = Str(s.results, "time");
  if (!time.empty()) title += " " + time;
  std::string h = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + Esc(title) +
                  "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  h += Header(s);
  if (!s.missing.empty()) {
    h += "<section id=\"missing\">\n<h2>Missing from this session</h2>\n<ul>\n";
    for (const std::string& m : s.missing) h += "<li class=\"missing\">" + Esc(m) + "</li>\n";
    h += "</ul>\n</section>\n";
  }
  h += Results(s) + SignalCheck(s) + Waves(s) + Envelopes(s);
  h += "<footer class=\"note-text\">Made by nelctl report (library " + Esc(Str(s.results, "library")) +
       ").</footer>\n</body>\n</html>\n";
  return h;
}

bool WriteReportFile(const Session& s, const std::string& outHtml, std::string& error) {
  std::ofstream out(outHtml, std::ios::binary | std::ios::trunc);
  if (out) out << ReportHtml(s);
  if (!out.flush()) {
    error = "cannot write " + outHtml + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteReport(const std::string& sessionDir, const std::string& outHtml, std::string& error) {
  Session s;
  return LoadSession(sessionDir, s, error) && WriteReportFile(s, outHtml, error);
}

}  // namespace nelctl
