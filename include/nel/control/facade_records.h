// Records the façade hands to the host besides those of the device link: the
// pulse list of one cuff's measurement and the exercise protocol's
// configuration and record. Binary interface: packed, checked below.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The accepted pulses of one cuff's last BP measurement (GetNELPulsePeak).
struct tagNEL_PULSEPEAK {
  int16_t Count;           // accepted pulses, 0 to 800
  int16_t SBPPos;          // index of the pulse at systolic pressure
  int16_t DBPPos;          // index of the pulse at diastolic pressure
  int16_t MAPPos;          // index of the pulse at mean pressure
  float MapSBPRatio;       // ratio of the last calculation
  int32_t Amplitude[800];  // amplitude of each accepted pulse
  float Pressure[800];     // cuff pressure at each pulse's foot, mmHg
};

// Configuration of the exercise protocol, passed by value.
struct tagExerciseStressConfig {
  uint8_t Reserved0[6];  // carried unchanged; free for the host
  int16_t CheckCount;    // checks, 1 to 10
  int16_t TimingMode;    // 0: IntervalMinutes from check start to check start; else PauseSeconds between checks
  int32_t IntervalMinutes;
  int32_t PauseSeconds;
  uint8_t Reserved1[8];   // carried unchanged
  int32_t BPMeasureMode;  // a tagTYPE_BPMEASUREMODE used for every check
  int16_t MaxPressure;    // mmHg (300 in data process mode 2)
  uint8_t Reserved2[2];   // carried unchanged
};

// One check of the exercise protocol.
struct tagExerciseStressCheck {
  int16_t BP[4][3];  // SBP, DBP, MAP of right arm, left arm, right ankle, left ankle
  int32_t Time;      // local time at the check's start: hour*10000 + minute*100 + second
  float RightABI;    // right ankle / higher arm systolic
  float LeftABI;     // left ankle / higher arm
  float RightBAI;    // right arm / higher ankle
  float LeftBAI;     // left arm / higher ankle
};

// The exercise protocol's record (ExerciseStress_GetResult).
struct tagExerciseStressRec {
  int16_t CheckNum;  // checks finished
  tagExerciseStressCheck Check[10];
  tagExerciseStressConfig Config;  // the configuration the protocol was started with
};

#pragma pack(pop)

static_assert(sizeof(tagNEL_PULSEPEAK) == 6412);
static_assert(offsetof(tagNEL_PULSEPEAK, SBPPos) == 2);
static_assert(offsetof(tagNEL_PULSEPEAK, DBPPos) == 4);
static_assert(offsetof(tagNEL_PULSEPEAK, MAPPos) == 6);
static_assert(offsetof(tagNEL_PULSEPEAK, MapSBPRatio) == 8);
static_assert(offsetof(tagNEL_PULSEPEAK, Amplitude) == 12);
static_assert(offsetof(tagNEL_PULSEPEAK, Pressure) == 3212);

static_assert(sizeof(tagExerciseStressConfig) == 34);
static_assert(offsetof(tagExerciseStressConfig, CheckCount) == 6);
static_assert(offsetof(tagExerciseStressConfig, TimingMode) == 8);
static_assert(offsetof(tagExerciseStressConfig, IntervalMinutes) == 10);
static_assert(offsetof(tagExerciseStressConfig, PauseSeconds) == 14);
static_assert(offsetof(tagExerciseStressConfig, BPMeasureMode) == 26);
static_assert(offsetof(tagExerciseStressConfig, MaxPressure) == 30);

static_assert(sizeof(tagExerciseStressCheck) == 44);
static_assert(offsetof(tagExerciseStressCheck, Time) == 24);
static_assert(offsetof(tagExerciseStressCheck, RightABI) == 28);
static_assert(offsetof(tagExerciseStressCheck, LeftABI) == 32);
static_assert(offsetof(tagExerciseStressCheck, RightBAI) == 36);
static_assert(offsetof(tagExerciseStressCheck, LeftBAI) == 40);

static_assert(sizeof(tagExerciseStressRec) == 476);
static_assert(offsetof(tagExerciseStressRec, Check) == 2);
static_assert(offsetof(tagExerciseStressRec, Config) == 442);
