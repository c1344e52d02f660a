// Text in code page 936 (GBK).
//
// The system's Chinese texts are written in UTF-8 in the sources; where a file
// or a diagnostic must hold code page 936 bytes they are converted here, once
// (callers keep the result in a function-local static).
#pragma once

#include <string>
#include <string_view>

namespace nel::platform {

// Converts UTF-8 text to code page 936 bytes. ASCII passes unchanged; a
// character without a GBK form, or invalid UTF-8, becomes '?'.
std::string Utf8ToGbk(std::string_view utf8);

// Converts code page 936 bytes to UTF-8 (to show the library's diagnostics).
// ASCII passes unchanged; bytes that are not GBK become a replacement mark.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace nel::platform
