// The diagnostic sink: where the library's message boxes and debugger strings go.
//
// The library never shows a window. A host may install its own sink to show or
// log these texts; by default they are written to standard error. Texts are
// passed as the library's bytes (its Chinese texts in code page 936).
// Thread-safe: the sink may be replaced while the library runs.
#pragma once

#include <cstddef>
#include <string_view>

#include "nel/export.h"

namespace nel::platform {

enum class DiagKind : int {
  kMessageBox = 0,   // a text the host should show to the user (title given)
  kDebugString = 1,  // a developer's trace (no title)
};

// title and text are not NUL-terminated; their lengths are given.
using DiagSink = void (*)(DiagKind kind, const char* title, size_t titleLen, const char* text,
                          size_t textLen, void* context);

// Installs `sink` with its context; a null sink restores the default (stderr).
NEL_API void SetDiagnosticSink(DiagSink sink, void* context);

// The library's two diagnostic outlets.
NEL_API void ShowMessageBox(std::string_view title, std::string_view text);
NEL_API void OutputDebugText(std::string_view text);

}  // namespace nel::platform
