// Serial devices as Windows COM ports.
//
// The port is opened without sharing (a second opener, in this process or
// another, is refused) and for overlapped I/O. Reads are set to return at
// once with what is queued (ReadIntervalTimeout = MAXDWORD, no totals); every
// wait is a wait on an OVERLAPPED's event, cut short by the caller's stop
// event or time limit, so the time-outs and results are those of the POSIX
// device.
#include "platform/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/wait_clock.h"

namespace nel::platform {

namespace {

bool KnownBaud(int baud) {
  switch (baud) {
    case 1200:
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
    case 230400:
    case 460800:
    case 921600: return true;
    default: return false;
  }
}

// The errno an opener of a terminal would have met.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return ENOENT;
    // A COM port held by another handle answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
  }
}

// A failed call on an open port: a port that went away (USB adapter pulled)
// answers with one of many codes; only a bad handle or argument is our own fault.
SerialDevice::WaitResult FailureOf(DWORD error) {
  return error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_PARAMETER ? SerialDevice::WaitResult::kError
                                                                           : SerialDevice::WaitResult::kHangup;
}

// The session-wide name of the lock of port `path`: the device name, upper
// case, without the device namespace prefix ("\\.\com3" and "COM3" are one).
std::wstring PortLockName(const std::wstring& path) {
  std::wstring name = path;
  if (name.rfind(L"\\\\.\\", 0) == 0) name.erase(0, 4);
  for (wchar_t& c : name) {
    if (c == L'\\') c = L'/';  // a backslash would name a namespace
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return L"Local\\nel-serial-" + name;
}

DWORD WaitMs(int ms) { return ms < 0 ? INFINITE : static_cast<DWORD>(ms); }

std::wstring Widen(const std::string& path) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
  return out;
}

// Raw mode: binary, no flow control of either kind, no replacing or dropping
// of bytes, DTR and RTS on (as a terminal's open leaves them).
void MakeRaw(DCB& dcb) {
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
}

}  // namespace

SerialDevice::~SerialDevice() { Close(); }

int SerialDevice::Descriptor() const {
  return handle_ != nullptr ? static_cast<int>(reinterpret_cast<intptr_t>(handle_)) : -1;
}

bool SerialDevice::Open(const std::string& path) {
  Close();
  lastError_ = 0;
  const std::wstring wide = path.empty() ? std::wstring() : Widen(path);
  if (wide.empty()) {
    lastError_ = ENOENT;
    return false;
  }
  // A second opener, in this process or another, must fail even where the
  // driver lets a device be opened twice.
  const HANDLE lock = ::CreateMutexW(nullptr, FALSE, PortLockName(wide).c_str());
  if (lock == nullptr) {
    lastError_ = ErrnoOf(::GetLastError());
    return false;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(lock);
    lastError_ = EBUSY;
    return false;
  }
  const HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    lastError_ = ErrnoOf(::GetLastError());
    ::CloseHandle(lock);
    return false;
  }
  HANDLE readSignal = nullptr, writeSignal = nullptr;
  auto fail = [&](int err) {
    lastError_ = err;
    if (readSignal) ::CloseHandle(readSignal);
    if (writeSignal) ::CloseHandle(writeSignal);
    ::CloseHandle(h);
    ::CloseHandle(lock);
    return false;
  };
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &dcb)) return fail(ENOTTY);
  MakeRaw(dcb);
  if (!::SetCommState(h, &dcb)) return fail(EIO);
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with zero totals: return at once with what is queued
  if (!::SetCommTimeouts(h, &timeouts)) return fail(EIO);
  if (!::SetCommMask(h, EV_RXCHAR)) return fail(EIO);
  readSignal = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writeSignal = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (readSignal == nullptr || writeSignal == nullptr) return fail(ENOMEM);
  handle_ = h;
  readSignal_ = readSignal;
  writeSignal_ = writeSignal;
  portLock_ = lock;
  return true;
}

void SerialDevice::Close() {
  if (handle_ == nullptr) return;
  ::CloseHandle(handle_);
  ::CloseHandle(readSignal_);
  ::CloseHandle(writeSignal_);
  ::CloseHandle(portLock_);
  handle_ = readSignal_ = writeSignal_ = portLock_ = nullptr;
}

bool SerialDevice::Configure(const LineSettings& line) {
  if (handle_ == nullptr) return false;
  if (!KnownBaud(line.baud)) return false;
  if (line.dataBits < 5 || line.dataBits > 8) return false;
  if (line.stopBits != 1 && line.stopBits != 2) return false;
  const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(line.parity)));
  if (parity != 'N' && parity != 'E' && parity != 'O') return false;

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handle_, &dcb)) return false;
  MakeRaw(dcb);
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  dcb.ByteSize = static_cast<BYTE>(line.dataBits);
  dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.Parity = parity == 'E' ? EVENPARITY : (parity == 'O' ? ODDPARITY : NOPARITY);
  dcb.fParity = parity != 'N' ? TRUE : FALSE;
  return ::SetCommState(handle_, &dcb) != FALSE;
}

void SerialDevice::Purge() {
  // Only the queues: an abort flag would also cancel the other thread's I/O.
  if (handle_ != nullptr) ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

int SerialDevice::QueuedBytes() const {
  if (handle_ == nullptr) return -1;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(handle_, &errors, &stat)) return -1;
  return static_cast<int>(std::min<DWORD>(stat.cbInQue, INT32_MAX));
}

SerialDevice::WaitResult SerialDevice::WaitReadable(const Event* stop, int timeoutMs) const {
  if (handle_ == nullptr) return WaitResult::kError;
  if (stop != nullptr && !stop->Valid()) return WaitResult::kError;
  Deadline deadline(timeoutMs);
  // Set when the driver cannot wait for comm events while the port still
  // answers (Wine on a pseudo-terminal has no modem lines to watch): the
  // queue is then looked at every kPollMs instead.
  constexpr int kPollMs = 2;
  bool polling = false;
  for (;;) {
    // A stop request wins over data, as on the other platforms.
    if (stop != nullptr && stop->IsSet()) return WaitResult::kStop;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handle_, &errors, &stat)) return FailureOf(::GetLastError());
    if (stat.cbInQue > 0) return WaitResult::kData;
    if (deadline.Expired()) return WaitResult::kTimeout;

    if (polling) {
      const int left = deadline.RemainingMs();
      const int step = left < 0 ? kPollMs : std::min(left, kPollMs);
      if (stop != nullptr)
        stop->Wait(step);
      else
        ::Sleep(static_cast<DWORD>(step));
      continue;
    }

    OVERLAPPED ov{};
    ov.hEvent = readSignal_;
    ::ResetEvent(readSignal_);
    DWORD mask = 0;
    if (::WaitCommEvent(handle_, &mask, &ov)) continue;  // an event already: look at the queue
    if (::GetLastError() != ERROR_IO_PENDING) {
      polling = true;
      continue;
    }
    // A byte that came between the look at the queue and the start of the
    // wait does not signal it: look once more before sleeping.
    DWORD r = WAIT_TIMEOUT;
    if (!::ClearCommError(handle_, &errors, &stat) || stat.cbInQue == 0) {
      const HANDLE handles[2] = {readSignal_, stop != nullptr ? stop->Handle() : nullptr};
      r = ::WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, WaitMs(deadline.RemainingMs()));
    }
    DWORD ignored = 0;
    if (r != WAIT_OBJECT_0) {
      // The OVERLAPPED lives on this stack: the wait must be over before
      // leaving. Setting the mask again ends a pending WaitCommEvent.
      ::SetCommMask(handle_, EV_RXCHAR);
      ::GetOverlappedResult(handle_, &ov, &ignored, TRUE);
      if (r == WAIT_FAILED) return WaitResult::kError;
      continue;  // data, stop or time: the next turn tells which
    }
    if (!::GetOverlappedResult(handle_, &ov, &ignored, FALSE)) polling = true;
  }
}

long SerialDevice::Read(void* buffer, size_t size, int timeoutMs) {
  if (handle_ == nullptr || buffer == nullptr) return -1;
  if (size == 0) return 0;
  Deadline deadline(timeoutMs);
  for (;;) {
    // Only what is queued is asked for, so the read completes at once
    // whatever the driver makes of the time-outs (Wine keeps an overlapped
    // read pending until bytes come, despite ReadIntervalTimeout = MAXDWORD).
    const int queued = QueuedBytes();
    if (queued < 0) return -1;
    if (queued > 0) {
      OVERLAPPED ov{};
      ov.hEvent = readSignal_;
      ::ResetEvent(readSignal_);
      const DWORD want = static_cast<DWORD>(std::min<size_t>(size, static_cast<size_t>(queued)));
      DWORD got = 0;
      if (!::ReadFile(handle_, buffer, want, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) return -1;
      if (!::GetOverlappedResult(handle_, &ov, &got, TRUE)) return -1;
      if (got > 0) return static_cast<long>(got);
    }
    switch (WaitReadable(nullptr, deadline.RemainingMs())) {
      case WaitResult::kData: break;
      case WaitResult::kTimeout: return 0;
      default: return -1;
    }
  }
}

long SerialDevice::Write(const void* buffer, size_t size, int timeoutMs) {
  if (handle_ == nullptr || buffer == nullptr) return -1;
  Deadline deadline(timeoutMs);
  size_t done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < size) {
    OVERLAPPED ov{};
    ov.hEvent = writeSignal_;
    ::ResetEvent(writeSignal_);
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD written = 0;
    bool timedOut = false;
    if (!::WriteFile(handle_, bytes + done, chunk, nullptr, &ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) return done > 0 ? static_cast<long>(done) : -1;
      if (::WaitForSingleObject(writeSignal_, WaitMs(deadline.RemainingMs())) != WAIT_OBJECT_0) {
        // Out of time: what went out before the cancel still counts.
        timedOut = true;
        ::CancelIoEx(handle_, &ov);
      }
    }
    if (!::GetOverlappedResult(handle_, &ov, &written, TRUE) && ::GetLastError() != ERROR_OPERATION_ABORTED)
      return done > 0 ? static_cast<long>(done) : -1;
    done += written;
    if (timedOut || (written == 0 && deadline.Expired())) break;
  }
  return static_cast<long>(done);
}

}  // namespace nel::platform
