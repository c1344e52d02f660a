#include "platform/gbk.h"

#include <iconv.h>

#include <cerrno>

namespace nel::platform {

std::string Utf8ToGbk(std::string_view utf8) {
  iconv_t cd = iconv_open("CP936", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // Without the converter keep ASCII and mark everything else.
    std::string out;
    for (unsigned char c : utf8)
      if (c < 0x80)
        out += static_cast<char>(c);
      else if ((c & 0xC0) != 0x80)
        out += '?';
    return out;
  }
  std::string out;
  out.reserve(utf8.size() * 2);
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char buf[256];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ / EINVAL: skip one UTF-8 sequence and mark it.
      out += '?';
      ++in;
      --inLeft;
      while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
        ++in;
        --inLeft;
      }
    }
  }
  iconv_close(cd);
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  constexpr const char* kMark = "\xEF\xBF\xBD";  // U+FFFD
  iconv_t cd = iconv_open("UTF-8", "CP936");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::string out;
    for (unsigned char c : gbk) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(kMark);
    return out;
  }
  std::string out;
  out.reserve(gbk.size() * 2);
  char* in = const_cast<char*>(gbk.data());
  size_t inLeft = gbk.size();
  char buf[256];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // Not GBK, or cut short at the end: mark the byte and go on after it.
      out += kMark;
      ++in;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace nel::platform
