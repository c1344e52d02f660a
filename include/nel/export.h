// Visibility of the library's exported interface.
//
// The shared library is built with hidden visibility; classes and functions a
// host may use are marked NEL_API. Everything else stays inside the library.
#pragma once

#if defined(_WIN32)
// GCC and Clang spellings of the import/export attributes for Windows targets.
// NEL_STATIC: the library's objects are linked into the program (a static
// library), so nothing is imported from nel.dll.
#if defined(NEL_STATIC)
#define NEL_API
#elif defined(NEL_BUILDING_LIBRARY)
#define NEL_API __attribute__((dllexport))
#else
#define NEL_API __attribute__((dllimport))
#endif
#else
#define NEL_API __attribute__((visibility("default")))
#endif
