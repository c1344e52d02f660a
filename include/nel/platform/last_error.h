// The reason of the last failure, per thread: a result code and a text.
//
// Host calls that can fail (opening the unit, starting sampling, starting a
// mode, reading a file) return their usual result (false, -1, a null
// pointer) and leave the reason here for the calling thread, in the manner of
// errno: read it right after the call that failed. A call that succeeds does
// not clear it unless it says so. Setting and reading allocate nothing.
#pragma once

#include <cstdint>
#include <string_view>

#include <nel/export.h>

namespace nel {

enum class Result : int32_t {
  kOk = 0,
  kInvalidArgument = 1,  // a null pointer or a value out of its documented range
  kNotOpen = 2,          // no port is open
  kNoUnit = 3,           // no unit answers on the port(s) tried
  kPortBusy = 4,         // the port is in use
  kTimeout = 5,          // the unit did not answer within the command's limit
  kDeviceLost = 6,       // the port hung up or failed
  kBadReply = 7,         // an answer that is incomplete or implausible
  kRefused = 8,          // the call is not allowed in the current state
  kNoMemory = 9,         // a resource could not be obtained
  kBadFile = 10,         // a file that cannot be read or is malformed
  kSafetyStop = 11,      // the library stopped every pump (see the safety report)
};

// A fixed English text for each code ("unknown result" for any other value).
NEL_API const char* ResultText(Result code);

// The calling thread's last failure; kOk and "" when none was recorded.
NEL_API Result LastErrorCode();
NEL_API const char* LastErrorText();
NEL_API void ClearLastError();
// Records a failure for the calling thread; the text is cut at 255 bytes.
NEL_API void SetLastError(Result code, std::string_view text);

}  // namespace nel
