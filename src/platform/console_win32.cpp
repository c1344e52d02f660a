// Standard streams through their handles: a pipe is peeked, a console's
// input records are looked through for Enter, a file is read.
#include "platform/console.h"

#include <windows.h>

#include <string>

namespace nel::platform {

namespace {

// A console line read and not yet handed out, '\r' dropped.
std::string g_line;
size_t g_taken = 0;

bool ConsoleHasLine(HANDLE h) {
  DWORD count = 0;
  if (!::GetNumberOfConsoleInputEvents(h, &count) || count == 0) return false;
  INPUT_RECORD records[128];
  DWORD read = 0;
  if (!::PeekConsoleInputW(h, records, count < 128 ? count : 128, &read)) return false;
  for (DWORD i = 0; i < read; ++i) {
    const INPUT_RECORD& r = records[i];
    if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown && r.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
      return true;
  }
  return false;
}

InputByte FromConsole(HANDLE h, char& c) {
  if (g_taken >= g_line.size()) {
    if (!ConsoleHasLine(h)) return InputByte::kNone;
    char buf[512];
    DWORD n = 0;
    if (!::ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0) return InputByte::kClosed;
    g_line.clear();
    g_taken = 0;
    for (DWORD i = 0; i < n; ++i)
      if (buf[i] != '\r') g_line += buf[i];
    if (g_line.empty()) return InputByte::kNone;
  }
  c = g_line[g_taken++];
  return InputByte::kByte;
}

}  // namespace

InputByte TakeInputByte(char& c) {
  HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return InputByte::kClosed;
  DWORD mode = 0;
  if (::GetFileType(h) == FILE_TYPE_CHAR && ::GetConsoleMode(h, &mode)) return FromConsole(h, c);
  if (::GetFileType(h) == FILE_TYPE_PIPE) {
    DWORD available = 0;
    if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return InputByte::kClosed;
    if (available == 0) return InputByte::kNone;
  }
  // A file, the null device or a pipe with bytes waiting: reading does not
  // block. The '\r' of a "\r\n" is passed over (its '\n' comes next).
  DWORD n = 0;
  if (!::ReadFile(h, &c, 1, &n, nullptr) || n == 0) return InputByte::kClosed;
  return c == '\r' ? InputByte::kNone : InputByte::kByte;
}

bool StderrIsTerminal() {
  HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) == FILE_TYPE_CHAR &&
         ::GetConsoleMode(h, &mode) != 0;
}

}  // namespace nel::platform
