#include "platform/diagnostics.h"

#include <cstdio>
#include <mutex>

namespace nel::platform {

namespace {

std::mutex g_sinkMutex;
DiagSink g_sink = nullptr;
void* g_context = nullptr;

void Emit(DiagKind kind, std::string_view title, std::string_view text) {
  std::lock_guard lock(g_sinkMutex);
  if (g_sink) {
    g_sink(kind, title.data(), title.size(), text.data(), text.size(), g_context);
    return;
  }
  if (kind == DiagKind::kMessageBox) {
    std::fwrite("nel: [", 1, 6, stderr);
    std::fwrite(title.data(), 1, title.size(), stderr);
    std::fwrite("] ", 1, 2, stderr);
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

void ShowMessageBox(std::string_view title, std::string_view text) {
  Emit(DiagKind::kMessageBox, title, text);
}

void OutputDebugText(std::string_view text) { Emit(DiagKind::kDebugString, {}, text); }

}  // namespace nel::platform
