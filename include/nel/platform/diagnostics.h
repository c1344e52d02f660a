// The diagnostic sink: where the library's message boxes, debugger strings and
// log lines go.
//
// The library never shows a window. A host may install its own sink to show or
// log these texts; by default they are written to standard error. Texts are
// passed as the library's bytes (its Chinese texts in code page 936).
// Every text has a level; texts more detailed than SetDiagnosticLevel's are
// dropped before any sink sees them (default: every level is delivered).
// The library logs an error where it gives up on something (a unit lost, a
// safety stop, a port that cannot be opened again) and a warning where it
// carries on with a substitute (the built-in coefficient set).
// Thread-safe: the sink and the level may be changed while the library runs;
// a sink is called from the thread that met the event (a host thread in a
// processing pass, never the reader thread) and must not call the library.
#pragma once

#include <cstddef>
#include <string_view>

#include <nel/export.h>

namespace nel::platform {

enum class DiagKind : int {
  kMessageBox = 0,   // a text the host should show to the user (title given); level kWarning
  kDebugString = 1,  // a developer's trace (no title); level kDebug
  kLog = 2,          // a log line of the library (no title); its own level
};

enum class DiagLevel : int { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// title and text are not NUL-terminated; their lengths are given.
using DiagSink = void (*)(DiagKind kind, DiagLevel level, const char* title, size_t titleLen, const char* text,
                          size_t textLen, void* context);

// Installs `sink` with its context; a null sink restores the default (stderr).
NEL_API void SetDiagnosticSink(DiagSink sink, void* context);
// The most detailed level delivered (kError: errors only; kDebug: everything).
NEL_API void SetDiagnosticLevel(DiagLevel most);
NEL_API DiagLevel DiagnosticLevel();

// The library's diagnostic outlets.
NEL_API void ShowMessageBox(std::string_view title, std::string_view text);
NEL_API void OutputDebugText(std::string_view text);
NEL_API void Log(DiagLevel level, std::string_view text);
// Log with a printf format; the text is cut at 255 bytes.
NEL_API void Logf(DiagLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace nel::platform
