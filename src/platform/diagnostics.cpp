#include <nel/platform/diagnostics.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#if defined(_WIN32)
#include <string>

#include <windows.h>
#endif

namespace nel::platform {

namespace {

std::mutex g_sinkMutex;
DiagSink g_sink = nullptr;
void* g_context = nullptr;
std::atomic<int> g_level{static_cast<int>(DiagLevel::kDebug)};

const char* LevelTag(DiagLevel level) {
  switch (level) {
    case DiagLevel::kError: return "nel: error: ";
    case DiagLevel::kWarning: return "nel: warning: ";
    case DiagLevel::kInfo: return "nel: ";
    case DiagLevel::kDebug: break;
  }
  return "nel: debug: ";
}

void Emit(DiagKind kind, DiagLevel level, std::string_view title, std::string_view text) {
  if (static_cast<int>(level) > g_level.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(g_sinkMutex);
  if (g_sink) {
    g_sink(kind, level, title.data(), title.size(), text.data(), text.size(), g_context);
    return;
  }
#if defined(_WIN32)
  // A developer's trace also goes where Windows debuggers look for it.
  if (kind == DiagKind::kDebugString) ::OutputDebugStringA(("nel: " + std::string(text)).c_str());
#endif
  if (kind == DiagKind::kMessageBox) {
    std::fwrite("nel: [", 1, 6, stderr);
    std::fwrite(title.data(), 1, title.size(), stderr);
    std::fwrite("] ", 1, 2, stderr);
  } else if (kind == DiagKind::kLog) {
    std::fputs(LevelTag(level), stderr);
  } else {
    std::fwrite("nel: ", 1, 5, stderr);
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

void SetDiagnosticSink(DiagSink sink, void* context) {
  std::lock_guard lock(g_sinkMutex);
  g_sink = sink;
  g_context = sink ? context : nullptr;
}

void SetDiagnosticLevel(DiagLevel most) {
  const int v = static_cast<int>(most);
  g_level.store(v < 0 ? 0 : (v > 3 ? 3 : v));
}

DiagLevel DiagnosticLevel() { return static_cast<DiagLevel>(g_level.load()); }

void ShowMessageBox(std::string_view title, std::string_view text) {
  Emit(DiagKind::kMessageBox, DiagLevel::kWarning, title, text);
}

void OutputDebugText(std::string_view text) { Emit(DiagKind::kDebugString, DiagLevel::kDebug, {}, text); }

void Log(DiagLevel level, std::string_view text) { Emit(DiagKind::kLog, level, {}, text); }

void Logf(DiagLevel level, const char* format, ...) {
  if (static_cast<int>(level) > g_level.load(std::memory_order_relaxed) || format == nullptr) return;
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  Log(level, std::string_view(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1)));
}

}  // namespace nel::platform
