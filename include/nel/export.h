// Visibility of the library's exported interface.
//
// The shared library is built with hidden visibility; classes and functions a
// host may use are marked NEL_API. Everything else stays inside the library.
#pragma once

#if defined(_WIN32)
#  if defined(NEL_BUILDING_LIBRARY)
#    define NEL_API __declspec(dllexport)
#  else
#    define NEL_API __declspec(dllimport)
#  endif
#else
#  define NEL_API __attribute__((visibility("default")))
#endif
