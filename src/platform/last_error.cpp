#include <nel/platform/last_error.h>

#include <algorithm>
#include <cstring>

namespace nel {

namespace {

constexpr size_t kTextBytes = 256;

struct LastError {
  Result code = Result::kOk;
  char text[kTextBytes] = {};
};

LastError& Current() {
  thread_local LastError e;
  return e;
}

}  // namespace

const char* ResultText(Result code) {
  switch (code) {
    case Result::kOk: return "ok";
    case Result::kInvalidArgument: return "invalid argument";
    case Result::kNotOpen: return "no port is open";
    case Result::kNoUnit: return "no unit answers";
    case Result::kPortBusy: return "the port is in use";
    case Result::kTimeout: return "the unit did not answer in time";
    case Result::kDeviceLost: return "the unit went away";
    case Result::kBadReply: return "the unit's answer is incomplete or implausible";
    case Result::kRefused: return "not allowed now";
    case Result::kNoMemory: return "out of memory or resources";
    case Result::kBadFile: return "the file cannot be read or is malformed";
    case Result::kSafetyStop: return "stopped for safety";
  }
  return "unknown result";
}

Result LastErrorCode() { return Current().code; }

const char* LastErrorText() { return Current().text; }

void ClearLastError() {
  Current().code = Result::kOk;
  Current().text[0] = '\0';
}

void SetLastError(Result code, std::string_view text) {
  LastError& e = Current();
  e.code = code;
  const size_t n = std::min(text.size(), kTextBytes - 1);
  std::memcpy(e.text, text.data(), n);
  e.text[n] = '\0';
}

}  // namespace nel
