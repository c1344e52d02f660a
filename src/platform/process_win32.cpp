// Programs started with CreateProcessW and waited for on their handle.
#include "platform/process.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace nel::platform {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// One argument as the C runtime's command-line parser reads it back:
// quoted when it holds blanks or quotes, backslashes doubled before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    line += c;
  }
  line.append(slashes * 2, L'\\');
  line += L'"';
}

HANDLE OpenInheritable(const std::wstring& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return ::CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string Describe(DWORD code) {
  wchar_t buf[256] = {};
  const DWORD n =
      ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 256, nullptr);
  std::string out;
  for (DWORD i = 0; i < n; ++i)
    if (buf[i] >= 0x20 && buf[i] < 0x7F) out += static_cast<char>(buf[i]);
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  return out.empty() ? "error " + std::to_string(code) : out;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const std::string& output,
                      std::chrono::milliseconds limit) {
  if (argv.empty()) return {false, false, -1, "no program given"};
  std::wstring line;
  for (const std::string& a : argv) {
    if (!line.empty()) line += L' ';
    AppendQuoted(line, Wide(a));
  }
  HANDLE in = OpenInheritable(L"NUL", false);
  HANDLE out = OpenInheritable(output.empty() ? L"NUL" : Wide(output), true);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    return {false, false, -1, "cannot open " + (output.empty() ? std::string("NUL") : output) + ": " + Describe(code)};
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  const std::wstring app = Wide(argv[0]);
  // Started suspended, in a job of its own: the programs it starts go with it
  // when it is killed (a shell's child would otherwise live on).
  const BOOL ok = ::CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
  const DWORD code = ::GetLastError();
  ::CloseHandle(in);
  ::CloseHandle(out);
  if (!ok) return {false, false, -1, Describe(code)};
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && !::AssignProcessToJobObject(job, pi.hProcess)) {
    ::CloseHandle(job);
    job = nullptr;
  }
  ::ResumeThread(pi.hThread);
  ::CloseHandle(pi.hThread);
  ProgramRun run;
  run.started = true;
  const DWORD wait = limit.count() > 0 ? static_cast<DWORD>(limit.count()) : INFINITE;
  if (::WaitForSingleObject(pi.hProcess, wait) != WAIT_OBJECT_0) {
    if (job == nullptr || !::TerminateJobObject(job, 1)) ::TerminateProcess(pi.hProcess, 1);
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    run.timedOut = true;
  } else {
    DWORD exit = 0;
    if (::GetExitCodeProcess(pi.hProcess, &exit)) run.exitCode = static_cast<int>(exit);
  }
  if (job != nullptr) ::CloseHandle(job);
  ::CloseHandle(pi.hProcess);
  return run;
}

std::string FindProgram(std::initializer_list<const char*> names) {
  const char* path = std::getenv("PATH");
  std::vector<std::string> dirs;
  std::istringstream in(path ? path : "");
  for (std::string d; std::getline(in, d, ';');)
    if (!d.empty()) dirs.push_back(d);
  for (const char* name : names)
    for (const std::string& d : dirs)
      for (const char* ext : {"", ".exe"}) {
        std::filesystem::path p = std::filesystem::path(d) / name;
        if (*ext != '\0' && p.has_extension()) continue;
        p += ext;
        std::error_code ec;
        if (std::filesystem::is_regular_file(p, ec)) return p.string();
      }
  return "";
}

long ProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

}  // namespace nel::platform
