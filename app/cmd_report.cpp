// nelctl report: the exam report of a session folder (docs/session.md).
//
//   nelctl report SESSION [--out FILE] [--pdf] [--json]
//
// Writes SESSION/report.html (or FILE): one page that opens without network
// access. A session without bp.json or without its wave record still gets its
// report, which says what is missing; a results.json that cannot be read is a
// failure. --pdf prints the page to a PDF beside it (FILE with .pdf for .html)
// through headless Chromium.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/process.h"
#include "report.h"
#include "session.h"

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kPdfTimeLimit{120};

struct Options {
  std::string session;
  std::string out;
  bool pdf = false;
  bool json = false;
};

// The first of the browser's usual names on PATH; empty when there is none.
std::string FindChromium() { return nel::platform::FindProgram({"chromium", "chromium-browser"}); }

// file:// URL of an absolute path, bytes outside the unreserved set
// percent-encoded. A Windows path's drive ("C:") keeps its colon.
std::string FileUrl(const fs::path& path) {
  const std::string p = path.generic_string();
  const bool drive = p.size() > 1 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
  std::string url = drive ? "file:///" : "file://";
  for (size_t i = 0; i < p.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~' || (drive && i == 1)) {
      url += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      url += hex;
    }
  }
  return url;
}

// Prints `html` to `pdf` with headless Chromium; its messages go to a log
// whose last line the failure quotes.
void PrintPdf(const std::string& chromium, const fs::path& html, const fs::path& pdf) {
  std::error_code ec;
  fs::remove(pdf, ec);
  const fs::path log =
      fs::temp_directory_path() / ("nelctl_report_" + std::to_string(nel::platform::ProcessId()) + ".log");
  std::vector<std::string> args{chromium,
                                "--headless",
                                "--no-sandbox",
                                "--disable-gpu",
                                "--no-pdf-header-footer",
                                "--print-to-pdf=" + pdf.string(),
                                FileUrl(html)};
  const nel::platform::ProgramRun run = nel::platform::RunProgram(args, log.string(), kPdfTimeLimit);
  if (!run.started) throw nelctl::Failure("cannot start " + chromium + ": " + run.error);
  if (run.timedOut) {
    fs::remove(log, ec);
    throw nelctl::Failure("Chromium did not print the PDF within " + std::to_string(kPdfTimeLimit.count()) + " s",
                          nelctl::kStatusTimeOut);
  }
  std::string last;
  {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) last = line;
  }
  fs::remove(log, ec);
  if (run.exitCode != 0 || !fs::exists(pdf) || fs::file_size(pdf, ec) == 0)
    throw nelctl::Failure("Chromium wrote no PDF " + pdf.string() + (last.empty() ? "" : " (" + last + ")"));
}

void Run(const Options& o) {
  const fs::path html = o.out.empty() ? fs::path(o.session) / nelctl::kSessionReport : fs::path(o.out);
  nelctl::Session session;
  std::string error;
  if (!nelctl::LoadSession(o.session, session, error)) throw nelctl::Failure(error);
  // Checked before anything is written: --pdf without the browser changes nothing.
  const std::string chromium = o.pdf ? FindChromium() : "";
  if (o.pdf && chromium.empty())
    throw nelctl::Failure("--pdf needs Chromium (chromium or chromium-browser on PATH), which is not installed");
  if (!nelctl::WriteReportFile(session, html.string(), error)) throw nelctl::Failure(error);
  fs::path pdf;
  if (o.pdf) {
    pdf = html;
    pdf.replace_extension(".pdf");
    PrintPdf(chromium, fs::absolute(html), fs::absolute(pdf));
  }

  if (o.json) {
    nlohmann::json j;
    j["session"] = o.session;
    j["file"] = html.string();
    j["pdf"] = o.pdf ? nlohmann::json(pdf.string()) : nlohmann::json(nullptr);
    j["missing"] = session.missing;
    nelctl::PrintJson("report", j);
  } else {
    std::printf("report written to %s\n", html.string().c_str());
    if (o.pdf) std::printf("PDF written to %s\n", pdf.string().c_str());
    for (const std::string& m : session.missing) std::printf("missing: %s\n", m.c_str());
  }
}

void Setup(CLI::App& program) {
  auto opts = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("report", "Write the exam report of a session folder (HTML, optionally PDF)");
  cmd->add_option("session", opts->session, "session folder (as written by nelctl exam)")->required();
  cmd->add_option("--out", opts->out, "HTML file to write (default SESSION/report.html)");
  cmd->add_flag("--pdf", opts->pdf, "also print the report to PDF beside it (needs Chromium)");
  cmd->add_flag("--json", opts->json, "print what was written as JSON");
  cmd->callback([opts] { Run(*opts); });
}

nelctl::NelctlCommand registered("report", &Setup);

}  // namespace
