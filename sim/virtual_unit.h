// The virtual acquisition unit without its line: the device side of the
// protocol, the subject, the four cuff lines and transducers, faults and the
// ground truth. Bytes from the host go in through Receive; bytes for the host
// (replies and "data raw" packets) collect in Output. Virtual time is the
// frame count (1000 frames a second); it moves only through Advance.
//
// Like a real unit's firmware, it protects the person on its own, whatever
// the host does (SubjectConfig::firmware): when a line reaches the pressure
// ceiling, or when no command has come for the watchdog time while a line
// above kWatchdogMinMmhg is filling or held, it stops every pump and opens
// every valve at once.
//
// Not thread-safe: UnitServer (unit_server.h) serialises access.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "device_codec.h"
#include "physiology.h"
#include "pneumatics.h"
#include "subject_config.h"

namespace nel::sim {

inline constexpr int kFramesPerSecond = 1000;

// Below this pressure (mmHg) a cuff is slack: the watchdog leaves it alone.
inline constexpr double kWatchdogMinMmhg = 15.0;

struct UnitStats {
  int64_t packets_sent = 0;             // packets put into the output
  int64_t packets_dropped = 0;          // packets not queued: output over its limit, or silence
  int64_t commands = 0;                 // complete commands received
  int64_t commands_ignored = 0;         // received while commands go unanswered
  int64_t last_command_frame = -1;      // frame of the last command acted on; -1: none yet
  int64_t pump_commands = 0;            // pump commands acted on (any line, any level)
  int64_t pump_on_commands = 0;         // of those, with a level above 0 (a pump started)
  int64_t last_pump_on_frame = -1;      // frame of the last of those; -1: none yet
  int64_t all_off_commands = 0;         // pump commands stopping every line at once
  int64_t pump_on_since_all_off = 0;    // pumps started since the last of those
  int64_t firmware_ceiling_trips = 0;   // pressure ceiling reached: everything released
  int64_t firmware_watchdog_trips = 0;  // silent host with a cuff held or filling: the same
};

class VirtualUnit {
 public:
  explicit VirtualUnit(const SubjectConfig& cfg = SubjectConfig());

  // Bytes written by the host. Complete commands take effect at the current
  // frame; their replies are queued after the last whole packet.
  void Receive(const uint8_t* data, size_t n);
  // Advances virtual time by `frames` frames, queueing one packet per frame
  // while sampling.
  void Advance(int64_t frames);

  // Bytes waiting to go on the line, and their removal once written.
  const std::vector<uint8_t>& Output() const { return out_; }
  void ConsumeOutput(size_t n);
  // When more than `bytes` wait, new packets are dropped (a host that does not
  // read loses data); replies are always queued. 0: no limit.
  void SetOutputLimit(size_t bytes) { outLimit_ = bytes; }

  int64_t Frame() const { return frame_; }
  double TimeS() const { return static_cast<double>(frame_) / kFramesPerSecond; }
  bool Sampling() const { return sampling_; }
  int64_t StreamStartFrame() const { return streamStart_; }
  const UnitStats& Stats() const { return stats_; }
  const RawFrame& LastFrame() const { return last_; }
  double LinePressure(int line) const { return lines_[line].Pressure(); }
  const CuffLine& Line(int line) const { return lines_[line]; }
  const SubjectConfig& Config() const { return cfg_; }
  const Physiology& Subject() const { return phys_; }
  // The coefficient set the transducers are scaled with: see docs/decisions.md, "Stored coefficient set".
  const tagAD_FORCE_CONVERT* ActiveCoefficients() const { return activeCoeff_; }

  // Calibration fixture.
  void SetReferencePressure(int line, std::optional<double> mmhg);
  void SetTransducerError(int transducer, double gain_error, double offset_error_mmhg);

  // Faults, starting now (durations in virtual seconds).
  void StartFault(FaultEvent e);
  // A hang-up that the line owner must carry out; returns its duration.
  std::optional<double> TakeHangup();

  // The subject's true values and event times (virtual seconds since frame 0).
  nlohmann::json GroundTruth() const;

 private:
  void HandleCommand(const Command& c);
  void Reply(const uint8_t* bytes, size_t n);
  void Emit(const uint8_t* bytes, size_t n, bool packet);
  void UpdateActiveCoefficients();
  int32_t Counts(int transducer, double mmhg);
  int SiteOfLine(int line) const;
  // The firmware's checks, once a frame after the lines have moved.
  void Protect();
  // Every pump off, every valve open; false when that was already so.
  bool ReleaseAll();

  SubjectConfig cfg_;
  Physiology phys_;
  CuffLine lines_[4];
  CommandParser parser_;
  std::vector<uint8_t> out_;
  size_t outLimit_ = 0;
  int64_t frame_ = 0;
  bool sampling_ = false;
  int64_t streamStart_ = -1;
  std::optional<std::array<uint8_t, kCoeffPayloadLength>> stored_;
  alignas(4) tagAD_FORCE_CONVERT activeCoeff_[6];  // packed records, kept aligned
  TransducerConfig terr_[4];
  RawFrame last_{};
  UnitStats stats_;
  std::mt19937_64 noiseRng_, faultRng_;
  std::normal_distribution<double> gauss_{0.0, 1.0};

  // Active faults (until frame, exclusive).
  int64_t corruptUntil_ = 0, dropUntil_ = 0, silentUntil_ = 0, unansweredUntil_ = 0;
  double corruptRate_ = 0, dropRate_ = 0;
  std::optional<double> hangup_;
  size_t nextFault_ = 0;  // scheduled faults, sorted by time
  std::vector<FaultEvent> schedule_;
};

}  // namespace nel::sim
