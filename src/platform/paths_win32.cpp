// The executable's folder from GetModuleFileNameW.
#include "platform/paths.h"

#include <windows.h>

#include <vector>

namespace nel::platform {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string ExecutableFolder() {
  // Long paths (\\?\...) can exceed MAX_PATH: grow until the name fits.
  std::vector<wchar_t> wide(MAX_PATH);
  DWORD n = 0;
  for (;;) {
    n = ::GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (n == 0) return {};
    if (n < wide.size()) break;
    if (wide.size() >= 32768) return {};
    wide.resize(wide.size() * 2);
  }
  // The library's narrow paths are in the ANSI code page (what the C runtime's
  // fopen and the streams take); a name that has no form there is refused
  // rather than passed on mangled.
  BOOL lossy = FALSE;
  const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(n), nullptr, 0,
                                          nullptr, &lossy);
  if (bytes <= 0 || lossy) return {};
  std::string path(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(n), path.data(), bytes, nullptr,
                        nullptr);
  size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  if (cut == 0) return {};
  // "C:\app.exe" keeps its root "C:\"; elsewhere the separator goes.
  if (cut == 3 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, cut - 1);
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out(folder);
  if (!IsSeparator(out.back())) out += kPathSeparator;
  out += name;
  return out;
}

}  // namespace nel::platform
