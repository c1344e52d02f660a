// TSamThread: the sampling object. Turns the bytes the serial reader stored in
// the receive ring into tagSAM_DATA frames and converts the six cuff channels
// to mmHg with a 200-frame moving average.
//
// Despite its name it runs no thread: GetData is called from the host's thread
// on each processing pass. It owns the protocol object (which is also the
// serial port and the ring).
//
// Threads: GetData must not run on two threads at once (the byte-by-byte
// unpacking runs outside the lock). ClearDataBuff, the coefficient operations,
// SetPath and CloseFile may be called from other host threads; a lock guards
// the pressure state, the coefficients, the frame copy and the files.
//
// The six diagnostic files are created empty and never written: see docs/decisions.md, "Diagnostic files kept".
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <nel/export.h>
#include <nel/link/qx_protocol.h>
#include <nel/link/records.h>

class NEL_API TSamThread {
 public:
  static constexpr int kStagingBytes = 512;
  // 26 whole frames fit in 512 bytes, plus one begun in the previous call.
  static constexpr int kMaxFramesPerCall = kStagingBytes / QXProtocol::kDataRawBytes + 1;
  static constexpr int kFrameCapacity = 1024;
  static constexpr int kAverageFrames = 200;
  static constexpr int kDataWaitMs = 500;
  static constexpr int kDiagFileCount = 6;

  TSamThread();
  ~TSamThread();
  TSamThread(const TSamThread&) = delete;
  TSamThread& operator=(const TSamThread&) = delete;

  // Decodes what has arrived (at most 512 bytes, so at most 27 frames) and
  // copies the frames to `out`, which must hold 27. Returns their number.
  int GetData(tagSAM_DATA* out);
  // Packet callback for QXProtocol::UnpackData; `context` is the TSamThread.
  static void RawDataProc(PACK_BUF* pack, void* context);

  void ClearDataBuff();
  void GetAD2ForceCoeff(tagAD_FORCE_CONVERT* out);
  void SetAD2ForceCoeff(tagAD_FORCE_CONVERT* set);
  void SetAD2ForceCoeff(tagAD_FORCE_CONVERT one, tagTYPE_NEL_BPDATA channel);

  // (Re)creates raw.dt, unpack.dt, unpack2.dt, exceptionPop.dt, unpackPos.dt
  // and exception.dt in `dir`.
  void SetPath(const std::string& dir);
  void CloseFile();
  // Whether diagnostic file i (0 to 5, in the order above) is open.
  bool FileOpen(int i) const;

  void CheckTimeOut(bool on) { timeOut_ = on; }
  bool GetTimeOutFlag() const { return timeOut_; }
  void SetSamplePaused(bool on) { samplePaused_ = on; }
  bool GetSamplePaused() const { return samplePaused_; }
  void SetFileHandle(void* handle) { fileHandle_ = handle; }
  void* GetFileHandle() const { return fileHandle_; }
  void Resume() {}

  QXProtocol& Protocol() { return protocol_; }
  // The last six channel pressures (mmHg).
  float LastPressure(int channel) const;
  // Frames converted since the last ClearDataBuff (64-bit: see docs/decisions.md, "Long runs").
  int64_t ConvertedFrames() const;

 protected:
  // For tests of long runs: continues the count at `frames` (>= 0) with the
  // moving-average history as it stands.
  void StartFrameCountAt(int64_t frames);

 private:
  void CountBPVData(tagSAM_DATA& frame);

  mutable std::mutex lock_;
  std::FILE* files_[kDiagFileCount] = {};
  bool timeOut_ = true;
  bool samplePaused_ = false;
  void* fileHandle_ = nullptr;
  QXProtocol protocol_;
  unsigned char staging_[kStagingBytes] = {};
  tagSAM_DATA frames_[kFrameCapacity] = {};
  int frameCount_ = 0;
  tagAD_FORCE_CONVERT coeff_[nel::kChannelCount];
  float pressure_[nel::kChannelCount] = {};
  int64_t converted_ = 0;
  int64_t sums_[nel::kChannelCount] = {};
  int32_t history_[nel::kChannelCount][kAverageFrames] = {};
};
