// Code page 936 through the system's converters.
#include "platform/gbk.h"

#include <windows.h>

namespace nel::platform {

namespace {

constexpr wchar_t kMark = 0xFFFD;  // stands for invalid UTF-8; has no GBK form, so it comes out as '?'

// Decodes UTF-8 to UTF-16. An invalid or cut-short sequence becomes one mark:
// its first byte and the continuation bytes after it are skipped.
std::wstring DecodeUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  auto cont = [&](size_t k) { return k < n && (static_cast<unsigned char>(utf8[k]) & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t len = 0;
    char32_t cp = 0, min = 0;
    if (c < 0x80) {
      out += static_cast<wchar_t>(c);
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool ok = len > 0;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = cont(i + k);
      if (ok) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      out += kMark;
      ++i;
      while (cont(i)) ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
    i += len;
  }
  return out;
}

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
  if (utf8.empty()) return {};
  const std::wstring wide = DecodeUtf8(utf8);
  const int wideLen = static_cast<int>(wide.size());
  // No best fit: a character without a GBK form becomes '?', not a look-alike.
  const int bytes = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide.data(), wideLen, nullptr, 0, "?", nullptr);
  if (bytes <= 0) {
    // Without the code page keep ASCII and mark everything else.
    std::string out;
    for (wchar_t c : wide)
      if (c < 0x80)
        out += static_cast<char>(c);
      else if (c < 0xDC00 || c > 0xDFFF)
        out += '?';
    return out;
  }
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide.data(), wideLen, out.data(), bytes, "?", nullptr);
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  if (gbk.empty()) return {};
  const int n = static_cast<int>(gbk.size());
  // Without MB_ERR_INVALID_CHARS a sequence that is not GBK becomes the code page's mark.
  const int wideLen = ::MultiByteToWideChar(936, 0, gbk.data(), n, nullptr, 0);
  if (wideLen <= 0) {
    std::string out;
    for (unsigned char c : gbk) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string("\xEF\xBF\xBD");
    return out;
  }
  std::wstring wide(static_cast<size_t>(wideLen), L'\0');
  ::MultiByteToWideChar(936, 0, gbk.data(), n, wide.data(), wideLen);
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLen, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLen, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace nel::platform
