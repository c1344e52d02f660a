#include <nel/link/serial_port.h>

#include "platform/serial_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <nel/platform/port_names.h>

using nel::platform::SerialDevice;

TSerialPort::TSerialPort()
    : device_(std::make_unique<nel::platform::SerialDevice>()),
      ring_(new unsigned char[kInitialRingBytes]()),
      ringSize_(kInitialRingBytes) {}

int TSerialPort::PortHandle() const { return device_->Descriptor(); }

void TSerialPort::PurgePort() { device_->Purge(); }

TSerialPort::~TSerialPort() {
  ClosePort();
  FreeRing();
}

int TSerialPort::OpenPort(const std::string& portName, int baud, int dataBits, int stopBits, char parity) {
  if (open_) return device_->Descriptor();
  stopEvent_.Reset();
  dataEvent_.Reset();

  // Ports are named as the unit's software names them; a plain device path is
  // also accepted (a host that knows its device).
  std::string path;
  if (const int number = nel::platform::PortNumberFromName(portName); number > 0)
    path = nel::platform::PortDevicePath(number);
  else if (!portName.empty() && portName.front() == '/')
    path = portName;
  if (path.empty()) {
    openError_ = ENOENT;
    return -1;
  }
  if (!device_->Open(path)) {
    openError_ = device_->LastError();
    return -1;
  }
  openError_ = 0;

  // No port time-outs to set: see docs/decisions.md, "Port time-outs".
  char text[96];
  std::snprintf(text, sizeof text, "baud=%d parity=%c data=%d stop=%d", baud, parity, dataBits, stopBits);
  nel::platform::LineSettings line;
  if (!nel::platform::ParseLineText(text, line)) {
    device_->Close();
    return -1;
  }
  // A line state the driver refuses is not a reason to fail the open: the
  // device stays in raw mode with whatever speed it had.
  device_->Configure(line);
  device_->Purge();
  open_ = true;
  ResetReceiveState();
  return device_->Descriptor();
}

bool TSerialPort::OpenInProcess(WriteSink sink, void* context) {
  if (open_) return false;
  sink_ = sink;
  sinkContext_ = context;
  inProcess_ = true;
  open_ = true;
  openError_ = 0;
  ResetReceiveState();
  return true;
}

bool TSerialPort::StartReader() {
  if (!open_ || inProcess_ || reader_.joinable()) return false;
  FreeRing();
  ring_.reset(new (std::nothrow) unsigned char[kRingBytes]());
  if (!ring_) return false;
  ringSize_ = kRingBytes;
  dataEvent_.Reset();
  stopEvent_.Reset();
  deviceLost_.store(false);
  idleCounter_ = 0;
  // The reader's start-up purge, before the thread runs: see docs/decisions.md, "Reader restart and ring clearing".
  device_->Purge();
  ResetReceiveState();
  readerRunning_.store(true);
  reader_ = std::thread(&TSerialPort::ReaderMain, this);
  return true;
}

void TSerialPort::StopReader() {
  stopEvent_.Set();
  if (reader_.joinable()) reader_.join();
  stopEvent_.Reset();
  FreeRing();
  dataEvent_.Reset();
}

void TSerialPort::ClosePort() {
  if (reader_.joinable()) StopReader();
  if (open_) {
    device_->Close();
    open_ = false;
    inProcess_ = false;
    sink_ = nullptr;
    sinkContext_ = nullptr;
    stopEvent_.Reset();
  }
  ResetReceiveState();
}

bool TSerialPort::WriteBytes(const unsigned char* buffer, int count, int& written) {
  written = 0;
  if (!open_ || buffer == nullptr || count < 0) return false;
  if (count > 0) Tap(StreamEvent::kWritten, buffer, count, 0);
  if (inProcess_) {
    if (sink_ && count > 0) sink_(buffer, count, sinkContext_);
    written = count;
    return true;
  }
  const long n = device_->Write(buffer, static_cast<size_t>(count), kTransferTimeoutMs);
  written = n > 0 ? static_cast<int>(n) : 0;
  return written == count;
}

bool TSerialPort::ReadBytes(unsigned char* buffer, int count, int& read) {
  read = 0;
  if (!open_ || inProcess_ || buffer == nullptr || count < 0) return false;
  const long n = device_->ReadAll(buffer, static_cast<size_t>(count), kTransferTimeoutMs);
  read = n > 0 ? static_cast<int>(n) : 0;
  if (read > 0) Tap(StreamEvent::kReadDirect, buffer, read, 0);
  return read == count;
}

int TSerialPort::UnpackData(unsigned char, PACKET_CALLBACK, void*) { return 0; }

void TSerialPort::TakeFromRing(unsigned char* out, int n) {
  if (out == nullptr || n <= 0 || ringSize_ <= 0) return;
  n = std::min(n, ringSize_);
  const int pos = static_cast<int>(static_cast<uint64_t>(readTotal_.load()) % static_cast<uint64_t>(ringSize_));
  const int first = std::min(n, ringSize_ - pos);
  std::memcpy(out, ring_.get() + pos, static_cast<size_t>(first));
  if (first < n) std::memcpy(out + first, ring_.get(), static_cast<size_t>(n - first));
  const int64_t total = readTotal_.fetch_add(n) + n;
  ringCount_.fetch_sub(n);
  Tap(StreamEvent::kTaken, nullptr, n, total);
}

void TSerialPort::ClearRing() {
  std::lock_guard lock(storeMutex_);
  if (ring_) std::memset(ring_.get(), 0, static_cast<size_t>(ringSize_));
  readTotal_.store(0);
  writeTotal_.store(0);
  ringCount_.store(0);
  Tap(StreamEvent::kCleared, nullptr, 0, 0);
}

void TSerialPort::StartTotalsAt(int64_t total) {
  if (total < 0) return;
  std::lock_guard lock(storeMutex_);
  ringCount_.store(0);
  readTotal_.store(total);
  writeTotal_.store(total);
}

void TSerialPort::FreeRing() {
  ring_.reset();
  ringSize_ = 0;
  readTotal_.store(0);
  writeTotal_.store(0);
  ringCount_.store(0);
  Tap(StreamEvent::kCleared, nullptr, 0, 0);
}

void TSerialPort::StoreInRing(const unsigned char* bytes, int n) {
  std::lock_guard lock(storeMutex_);
  const int32_t count = ringCount_.load();
  const int64_t write = writeTotal_.load();
  const int m = std::max(0, std::min(n, ringSize_ - count));
  if (m < n) droppedBytes_.fetch_add(n - m);  // full: the new bytes are dropped
  if (m == 0) return;
  const int pos = static_cast<int>(static_cast<uint64_t>(write) % static_cast<uint64_t>(ringSize_));
  const int first = std::min(m, ringSize_ - pos);
  std::memcpy(ring_.get() + pos, bytes, static_cast<size_t>(first));
  if (first < m) std::memcpy(ring_.get(), bytes + first, static_cast<size_t>(m - first));
  Tap(StreamEvent::kStored, bytes, m, writeTotal_.fetch_add(m) + m);
  if (const StoreHook hook = storeHook_.load()) hook(storeHookContext_);
  ringCount_.fetch_add(m);
  dataEvent_.Set();
}

void TSerialPort::ReaderMain() {
  bool lost = false;
  for (;;) {
    const auto r = device_->WaitReadable(&stopEvent_, nel::platform::kWaitInfinite);
    if (r == SerialDevice::WaitResult::kStop) break;
    if (r == SerialDevice::WaitResult::kData) {
      if (ReadLoop()) continue;
      if (stopEvent_.IsSet()) break;
    }
    lost = true;
    break;
  }
  if (lost) {
    // The device is gone: note it and wait for StopReader without touching
    // the device again (polling a hung-up terminal would return at once).
    deviceLost_.store(true);
    stopEvent_.Wait(nel::platform::kWaitInfinite);
  }
  readerRunning_.store(false);
}

bool TSerialPort::ReadLoop() {
  unsigned char chunk[kReadChunk];
  for (;;) {
    const int queued = device_->QueuedBytes();
    if (queued < 0) return false;
    if (queued > 0) {
      idleCounter_ = 0;
      const long n = device_->Read(chunk, sizeof chunk, kReaderReadWaitMs);
      if (n < 0) return false;
      if (n == 0 || suspended_.load()) continue;
      StoreInRing(chunk, static_cast<int>(n));
      continue;
    }
    if (!idleWatch_.load()) {
      // A last look without waiting also tells a hung-up device from an idle one.
      const long n = device_->Read(chunk, sizeof chunk, 0);
      if (n < 0) return false;
      if (n == 0) return true;
      if (!suspended_.load()) StoreInRing(chunk, static_cast<int>(n));
      continue;
    }
    // The idle poll waits on the device and the stop event instead of
    // sleeping, so new data and StopReader are seen at once.
    const auto w = device_->WaitReadable(&stopEvent_, kIdlePollMs);
    if (w == SerialDevice::WaitResult::kStop) return true;
    if (w == SerialDevice::WaitResult::kHangup || w == SerialDevice::WaitResult::kError) return false;
    if (w == SerialDevice::WaitResult::kData) continue;
    if (++idleCounter_ >= kIdlePollLimit) {
      idleCounter_ = 0;
      idleReturns_.fetch_add(1);
      return true;
    }
  }
}
