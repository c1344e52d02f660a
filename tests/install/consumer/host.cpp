// A minimal host: includes the umbrella header and calls into the library.
#include <nel/nel.h>

#include <cstdio>

int main() {
  tagHMID_DATA status{};
  const bool recordsOk = sizeof(status) == 72 && sizeof(tagSAVE_WAVEDATA) == 30;
  std::printf("GetBPVersion=%u records=%s\n", static_cast<unsigned>(GetBPVersion()),
              recordsOk ? "ok" : "bad");
  return 0;
}
