#include "platform/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <optional>

namespace nel::platform {

namespace {

// `text` converted by iconv from `from` to `to`; a sequence the converter
// refuses (or one cut short at the end) becomes `mark`, and `skip` tells how
// many bytes from its first on to leave out. Nothing without the converter.
std::optional<std::string> Convert(const char* to, const char* from, std::string_view text, std::string_view mark,
                                   size_t (*skip)(const char* at, size_t left)) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 2);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char buf[256];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out += mark;
      const size_t n = skip(in, inLeft);
      in += n;
      inLeft -= n;
    }
  }
  iconv_close(cd);
  return out;
}

// One UTF-8 sequence: its first byte and the continuation bytes after it.
size_t Utf8Sequence(const char* at, size_t left) {
  size_t n = 1;
  while (n < left && (static_cast<unsigned char>(at[n]) & 0xC0) == 0x80) ++n;
  return n;
}

size_t OneByte(const char*, size_t) { return 1; }

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
  if (auto out = Convert("CP936", "UTF-8", utf8, "?", &Utf8Sequence)) return *std::move(out);
  // Without the converter keep ASCII and mark everything else.
  std::string out;
  for (unsigned char c : utf8)
    if (c < 0x80)
      out += static_cast<char>(c);
    else if ((c & 0xC0) != 0x80)
      out += '?';
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  constexpr std::string_view kMark = "\xEF\xBF\xBD";  // U+FFFD
  if (auto out = Convert("UTF-8", "CP936", gbk, kMark, &OneByte)) return *std::move(out);
  std::string out;
  for (unsigned char c : gbk) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(kMark);
  return out;
}

}  // namespace nel::platform
