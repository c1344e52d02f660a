// Version of the library as reported to the host.
#pragma once

#include <cstdint>

#include <nel/export.h>

// Returns 65579 (0x0001002B).
extern "C" NEL_API uint32_t GetBPVersion();
