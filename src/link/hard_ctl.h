// TnelHardCtl: the one object through which the system commands the
// acquisition unit. Finds the unit on a serial port and opens it, starts and
// stops sampling, drives pumps and deflation valves, and reads and stores the
// unit's AD-to-pressure coefficient set. Owns the sampling object.
//
// Threads: every operation runs on the host's thread. StartADSample and the
// coefficient operations block up to 1500 ms per command while pumping the
// thread's message queue; their replies arrive only if the host's periodic
// sample processing (ReadOnceData from a timer of that queue) runs meanwhile.
//
// Design decisions:
// - Before the first StartADSample with reading, the member coefficient set
//   (ADForceCoeff, used by the façade for pulse waves) is the built-in set,
//   the unit's documented fallback, rather than the sampling object's
//   uncalibrated start values.
// - Toe channels 4 and 5 share the ankle transducers and their pneumatics:
//   StartInflate, StopInflate and RapidDeflate route line 4 to line 2 and
//   line 5 to line 3, so that toe cuffs can be measured. Lines -1 to 3 pass
//   unchanged; other lines are refused by the protocol.
// - The coefficient block is built in a buffer of each call rather than in
//   one buffer shared by every object in the process.
// - The legacy control path (RunAdjust, OpenCloseHardwareEnlarge) is kept as
//   no-ops: no operation provides its port handle.
// - Safety: the object remembers, per pneumatic line, what the unit was last
//   told (pump running, valve closed), counting a command only once its bytes
//   were written, so the façade knows whether a line may still hold pressure
//   when the unit goes silent or away. While the pump lockout is set,
//   StartInflate sends nothing: after a safety stop no pump starts again until
//   a host starts a new measurement or hold.
#pragma once

#include <memory>

#include "link/records.h"
#include "link/sam_thread.h"
#include "nel/export.h"

class NEL_API TnelHardCtl {
 public:
  static constexpr int kCoeffPayloadBytes = 62;
  static constexpr int kSearchReadTries = 10;
  static constexpr int kSearchReadTimeoutMs = 100;
  static constexpr unsigned char kHandshakeReply = 0xF0;

  explicit TnelHardCtl(int unitNo = 0);
  ~TnelHardCtl();
  TnelHardCtl(const TnelHardCtl&) = delete;
  TnelHardCtl& operator=(const TnelHardCtl&) = delete;

  // Opens port `port` (230400 baud 8N1; the settings arguments are ignored)
  // and starts the reader. False for port < 1 or when the port cannot be opened.
  bool SetComPortNo(int port, unsigned long baud = 230400, unsigned char dataBits = 8,
                    unsigned char stopBits = 1, unsigned char parity = 'N', int flags = 0);
  void CloseCom();
  // The lowest port 1..149 on which the unit answers `probe` with 0xF0, or -1.
  // Ports that cannot be opened (absent, or in use, also by this process) are skipped.
  int CheckQX7700BComPortNo(unsigned char probe);

  void StartADSample(bool readCoeff);
  void StopADSample();
  // 1 <= level <= 9999 and 0 <= third <= 10000: closes the line's valve, then
  // starts its pump at `level`; otherwise nothing. `third` is only range-checked.
  void StartInflate(int level, int line, int third);
  void StopInflate(int line);
  void RapidDeflate(int line, bool open);
  void ClearDataBuff();
  int ReadOnceData(tagSAM_DATA* out);
  void GetAD2ForceCoeff(tagAD_FORCE_CONVERT* out);
  void SetAD2ForceCoeff(tagAD_FORCE_CONVERT* set);
  void SetAD2ForceCoeff(tagAD_FORCE_CONVERT one, tagTYPE_NEL_BPDATA channel);
  void RunAdjust();
  void OpenCloseHardwareEnlarge(bool on);

  // Converts between six records and the 62-byte coefficient block (decode
  // leaves `set` unchanged for an all-zero block).
  static void hard_CovertCoeff(tagAD_FORCE_CONVERT* set, unsigned char* payload, bool encode);
  // The line a pump or valve command for `line` goes to (toe channels to their ankle lines).
  static int PneumaticLine(int line);

  static constexpr int kPneumaticLines = 4;

  // True while some line's pump was started or its valve closed and no later
  // command that reached the unit stopped or opened it.
  bool LinesMayHoldPressure() const { return (pumpOn_ | valveClosed_) != 0; }
  bool PumpOn(int line) const { return line >= 0 && line < kPneumaticLines && (pumpOn_ >> line) & 1u; }
  bool ValveClosed(int line) const {
    return line >= 0 && line < kPneumaticLines && (valveClosed_ >> line) & 1u;
  }
  // Stops every pump and opens every valve; true when both commands were written.
  bool DeflateAll();
  void SetPumpLockout(bool on) { pumpLockout_ = on; }
  bool PumpLockout() const { return pumpLockout_; }

  TSamThread* GetSamThread() { return sam_.get(); }
  int UnitNo() const { return unitNo_; }

  // The set the last StartADSample with reading obtained (built-in set before).
  tagAD_FORCE_CONVERT ADForceCoeff[nel::kChannelCount];

 private:
  void hard_GetAD2ForceCoeff(tagAD_FORCE_CONVERT* set);
  void hard_SaveAD2ForceCoeff(tagAD_FORCE_CONVERT* set);
  void SetControl(int count);
  void SetControl(int count, int repetitions, int);

  // Records a pump or valve command that reached the unit (line -1: all lines).
  void NotePump(int line, bool on);
  void NoteValve(int line, bool open);

  std::unique_ptr<TSamThread> sam_;
  unsigned pumpOn_ = 0;       // bit per pneumatic line
  unsigned valveClosed_ = 0;  // bit per pneumatic line
  bool pumpLockout_ = false;
  int legacyHandle_ = -1;
  int unitNo_;
  unsigned char control_[63] = {};
};
