// The folder of the host's executable, and paths joined with this platform's
// separator. Where the system names a file beside the executable
// ("\HardInf.ini"), the folder and the bare file name are joined here.
#pragma once

#include <string>
#include <string_view>

namespace nel::platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Folder of the running executable, without a trailing separator; empty when
// it cannot be determined. On Windows in the ANSI code page, as the library's
// other narrow paths.
std::string ExecutableFolder();

// folder + separator + name; just name when folder is empty.
std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace nel::platform
