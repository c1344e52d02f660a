#include <nel/control/version.h>

extern "C" uint32_t GetBPVersion() { return 65579u; }
