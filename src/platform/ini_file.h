// Private-profile (INI) files.
//
// Behaviour hosts of such files rely on:
// - section and key names compare case-insensitively; the first matching
//   section and, inside it, the first matching key win;
// - names and values are trimmed of blanks; a value in matching double or
//   single quotes loses them;
// - an integer is read from an optional sign and the decimal digits that
//   follow ("42abc" is 42); a value with no digits there ("abc", "0x10" is 0)
//   reads as 0, an empty value or a missing key as the default, and values
//   beyond the int range saturate;
// - a UTF-8 byte-order mark, CRLF or LF line ends, blank lines, comment lines
//   (';' or '#') and malformed lines are tolerated; no file content can crash
//   the reader; a file larger than kMaxIniFileBytes reads as missing;
// - writing a key creates the file, the section and the key as needed and keeps
//   every other line as it was (a new file uses CRLF line ends, an existing one
//   keeps its own); the file is replaced atomically.
// Safe to call from any thread; concurrent writers of one file are serialised
// within the process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nel::platform {

inline constexpr size_t kMaxIniFileBytes = 16u << 20;

int ReadIniInt(const std::string& path, std::string_view section, std::string_view key, int defaultValue);
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view defaultValue);
// False when the file cannot be written.
bool WriteIniString(const std::string& path, std::string_view section, std::string_view key, std::string_view value);

}  // namespace nel::platform
