#include "platform/ini_file.h"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace nel::platform {

namespace {

std::mutex g_writeMutex;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(0, std::ios::end);
  const auto size = in.tellg();
  if (size < 0 || static_cast<size_t>(size) > kMaxIniFileBytes) return std::nullopt;
  in.seekg(0);
  std::string data(static_cast<size_t>(size), '\0');
  in.read(data.data(), size);
  if (!in && !in.eof()) return std::nullopt;
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

// Lines without their line ends.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Parsed view of one line.
struct LineInfo {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;   // section or key name
  std::string_view value;  // key value
};

LineInfo Classify(std::string_view raw) {
  LineInfo info;
  std::string_view line = Trim(raw);
  if (line.empty() || line.front() == ';' || line.front() == '#') return info;
  if (line.front() == '[') {
    const size_t close = line.find(']');
    if (close == std::string_view::npos) return info;  // malformed: ignored
    info.kind = LineInfo::kSection;
    info.name = Trim(line.substr(1, close - 1));
    return info;
  }
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return info;  // malformed: ignored
  info.kind = LineInfo::kKey;
  info.name = Trim(line.substr(0, eq));
  info.value = Trim(line.substr(eq + 1));
  if (info.value.size() >= 2 && (info.value.front() == '"' || info.value.front() == '\'') &&
      info.value.back() == info.value.front())
    info.value = info.value.substr(1, info.value.size() - 2);
  return info;
}

std::optional<std::string> Lookup(const std::string& path, std::string_view section, std::string_view key) {
  auto data = ReadWholeFile(path);
  if (!data) return std::nullopt;
  std::string_view text = *data;
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  bool inSection = false;
  bool sectionSeen = false;
  for (std::string_view raw : SplitLines(text)) {
    const LineInfo info = Classify(raw);
    if (info.kind == LineInfo::kSection) {
      // Only the first section of a name counts.
      if (inSection) return std::nullopt;
      inSection = !sectionSeen && EqualNoCase(info.name, section);
      sectionSeen = sectionSeen || inSection;
    } else if (info.kind == LineInfo::kKey && inSection && EqualNoCase(info.name, key)) {
      return std::string(info.value);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view defaultValue) {
  auto v = Lookup(path, section, key);
  return v ? *v : std::string(defaultValue);
}

int ReadIniInt(const std::string& path, std::string_view section, std::string_view key, int defaultValue) {
  auto v = Lookup(path, section, key);
  if (!v || v->empty()) return defaultValue;
  std::string_view s = *v;
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  long long magnitude = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) magnitude = static_cast<long long>(INT_MAX) + 1;
  }
  long long value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<int>(value);
}

namespace {

// Sets key=value in the first section of that name: the key's line is
// rewritten, or a line is added after the section's last key line, or the
// section is appended with it.
void SetKeyLine(std::vector<std::string>& lines, std::string_view section, std::string_view key,
                std::string_view value) {
  const std::string newKeyLine = std::string(key) + "=" + std::string(value);
  // Find the first section of that name, the key inside it, and its last key line.
  long sectionLine = -1, keyLine = -1, lastContent = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    const LineInfo info = Classify(lines[i]);
    if (info.kind == LineInfo::kSection) {
      if (sectionLine >= 0) break;
      if (EqualNoCase(info.name, section)) sectionLine = lastContent = static_cast<long>(i);
    } else if (sectionLine >= 0) {
      if (!Trim(lines[i]).empty()) lastContent = static_cast<long>(i);
      if (info.kind == LineInfo::kKey && EqualNoCase(info.name, key)) {
        keyLine = static_cast<long>(i);
        break;
      }
    }
  }
  if (keyLine >= 0) {
    const LineInfo info = Classify(lines[keyLine]);
    lines[keyLine] = std::string(info.name) + "=" + std::string(value);
  } else if (sectionLine >= 0) {
    lines.insert(lines.begin() + lastContent + 1, newKeyLine);
  } else {
    // Built by appending: GCC 12 at -O3 misreports the overlap of "[" + string.
    std::string header(1, '[');
    header.append(section);
    header += ']';
    lines.push_back(std::move(header));
    lines.push_back(newKeyLine);
  }
}

// Writes `text` to a temporary file beside `path`, then renames it over `path`.
bool ReplaceFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    f.flush();
    if (!f) {
      f.close();
      std::remove(tmp.c_str());
      return false;
    }
  }
#if defined(_WIN32)
  // rename() does not replace an existing file here.
  if (!::MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
#else
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
#endif
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool WriteIniString(const std::string& path, std::string_view section, std::string_view key, std::string_view value) {
  std::lock_guard lock(g_writeMutex);
  std::string original;
  if (auto data = ReadWholeFile(path)) original = std::move(*data);

  std::string_view text = original;
  const bool hasBom = text.substr(0, kBom.size()) == kBom;
  if (hasBom) text.remove_prefix(kBom.size());
  const std::string eol = (original.empty() || original.find("\r\n") != std::string::npos) ? "\r\n" : "\n";
  std::vector<std::string> lines;
  for (auto l : SplitLines(text)) lines.emplace_back(l);

  SetKeyLine(lines, section, key, value);

  std::string out = hasBom ? std::string(kBom) : std::string();
  for (const auto& l : lines) out += l + eol;
  return ReplaceFile(path, out);
}

}  // namespace nel::platform
