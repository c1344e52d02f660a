// TnelHardCtl: the one object through which the system commands the
// acquisition unit. Finds the unit on a serial port and opens it, starts and
// stops sampling, drives pumps and deflation valves, and reads and stores the
// unit's AD-to-pressure coefficient set. Owns the sampling object.
//
// Threads: every operation runs on the host's thread. StartADSample and the
// coefficient operations block up to 1500 ms per command while pumping the
// thread's message queue; their replies arrive only if the host's periodic
// sample processing (ReadOnceData from a timer of that queue) runs meanwhile.
// Failures leave their reason in the calling thread's last error
// (nel::LastErrorCode, nel::LastErrorText).
//
// Finding the unit: see docs/decisions.md, "Port probe". Which coefficient set is used: "Coefficient set in use"
// (CoeffSource() and the last error say which and why).
//
// See docs/decisions.md, "Toe pumps and valves" and "Per object, not copyable"; for what is kept per pneumatic
// line and the pump lockout, the safety decisions "Safety: no frames, no pressure" and "Safety: the pump lockout".
#pragma once

#include <cstdint>
#include <memory>

#include <nel/export.h>
#include <nel/link/records.h>
#include <nel/link/sam_thread.h>

namespace nel::link {

// Which coefficient set the last StartADSample with reading put in use, and why.
enum class CoeffSource : int32_t {
  kNotRead = 0,             // no StartADSample with reading yet: the built-in set
  kUnit = 1,                // the unit's stored set
  kBuiltInNoneStored = 2,   // the unit holds no set (its block is all zero)
  kBuiltInIncomplete = 3,   // the reply was cut short
  kBuiltInImplausible = 4,  // a value is not finite or outside the plausible range
  kBuiltInNoAnswer = 5,     // no reply was recognised (silent unit, no port, or no processing pass ran)
};

// Plausible values of a transducer channel's conversion: see docs/decisions.md, "Coefficient set in use".
inline constexpr float kSlopeRange[2] = {1.0e-4f, 1.0e-3f};
inline constexpr float kOffsetRangeMmHg[2] = {-250.0f, 250.0f};

}  // namespace nel::link

class NEL_API TnelHardCtl {
 public:
  static constexpr int kCoeffPayloadBytes = 62;
  static constexpr int kSearchQuietMs = 20;         // the line counts as quiet after this long without a byte
  static constexpr int kSearchDrainLimitMs = 300;   // longest wait for a quiet line after stop-sample
  static constexpr int kSearchReplyWindowMs = 500;  // time the handshake reply may take
  static constexpr unsigned char kHandshakeReply = 0xF0;

  explicit TnelHardCtl(int unitNo = 0);
  ~TnelHardCtl();
  TnelHardCtl(const TnelHardCtl&) = delete;
  TnelHardCtl& operator=(const TnelHardCtl&) = delete;

  // Opens port `port` (230400 baud 8N1; the settings arguments are ignored)
  // and starts the reader. False for port < 1 or when the port cannot be opened.
  bool SetComPortNo(int port, unsigned long baud = 230400, unsigned char dataBits = 8, unsigned char stopBits = 1,
                    unsigned char parity = 'N', int flags = 0);
  // Stops the reader and closes the port; a frame half collected is forgotten.
  void CloseCom();
  // The lowest port 1..149 on which the unit answers `probe` with 0xF0, or -1
  // (last error kNoUnit). Ports that cannot be opened (absent, or in use, also
  // by this process) are skipped. Each port that opens costs up to about 0.8 s.
  int CheckQX7700BComPortNo(unsigned char probe);
  // Probes port `port` only, as the search does: `port` when the unit answers,
  // else -1 with the reason in the last error (kInvalidArgument outside
  // 1..149, kPortBusy, kNoUnit for a port that cannot be opened or no answer).
  int ProbeComPort(int port, unsigned char probe);
  // port 0: the search; 1..149: that port only (ProbeComPort).
  int FindUnit(unsigned char probe, int port);

  // Starts sampling, first reading the unit's coefficient set when readCoeff.
  // Clears the last error first. Returns true when the unit acknowledged the
  // start. Each exchange waits at most 1500 ms; when the coefficient request
  // drew nothing from the unit, or its reply arrived but no processing pass
  // unpacked it, the start is sent without waiting for its reply (false).
  // Any problem, also a coefficient set that fell back to the built-in one,
  // is left in the last error; CoeffSource() tells which set is in use.
  bool StartADSample(bool readCoeff);
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

  // True while some line's pump was started or its valve closed and no later
  // command that reached the unit stopped or opened it.
  bool LinesMayHoldPressure() const { return (pumpOn_ | valveClosed_) != 0; }
  bool PumpOn(int line) const { return line >= 0 && line < nel::kTransducerCount && (pumpOn_ >> line) & 1u; }
  bool ValveClosed(int line) const { return line >= 0 && line < nel::kTransducerCount && (valveClosed_ >> line) & 1u; }
  // Stops every pump and opens every valve; true when both commands were written.
  bool DeflateAll();
  void SetPumpLockout(bool on) { pumpLockout_ = on; }
  bool PumpLockout() const { return pumpLockout_; }

  TSamThread* GetSamThread() { return sam_.get(); }
  int UnitNo() const { return unitNo_; }

  // Which set the last StartADSample with reading put in ADForceCoeff, and why.
  nel::link::CoeffSource CoeffSource() const { return coeffSource_; }
  // Whether a decoded set may be used: every Slope and Offset of the four
  // transducer channels finite and within the plausible ranges (the toe
  // records are replaced by the ankle ones and not looked at).
  static bool CoeffPlausible(const tagAD_FORCE_CONVERT* set);

  // The set the last StartADSample with reading obtained (built-in set before).
  tagAD_FORCE_CONVERT ADForceCoeff[nel::kChannelCount];

 private:
  // Reads the unit's set into `set` (the built-in set when it cannot be used).
  // waitPointless: nothing came from the unit, or nothing was unpacked.
  nel::link::CoeffSource hard_GetAD2ForceCoeff(tagAD_FORCE_CONVERT* set, bool& waitPointless);
  void hard_SaveAD2ForceCoeff(tagAD_FORCE_CONVERT* set);
  void SetControl(int count);
  void SetControl(int count, int repetitions, int);

  // Records a pump or valve command that reached the unit (line -1: all lines).
  void NotePump(int line, bool on);
  void NoteValve(int line, bool open);

  std::unique_ptr<TSamThread> sam_;
  nel::link::CoeffSource coeffSource_ = nel::link::CoeffSource::kNotRead;
  unsigned pumpOn_ = 0;       // bit per pneumatic line
  unsigned valveClosed_ = 0;  // bit per pneumatic line
  bool pumpLockout_ = false;
  int legacyHandle_ = -1;
  int unitNo_;
  unsigned char control_[63] = {};
};
