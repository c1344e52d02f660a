// Reaches the calculation's steps (protected) as a subclass does: a pointer
// to a step named through this class applies to any TnelProcBPData.
#pragma once

#include <nel/bp/proc_bp_data.h>

struct TnelProcBPDataTestPeer : TnelProcBPData {
  static void Smooth(TnelProcBPData& d, int16_t n, tagBPV_PULSE_FEATURE_POINT* pts) {
    (d.*&TnelProcBPDataTestPeer::SmoothPulse)(n, pts);
  }
  // Crossing search over `n` points with the maximum at `mapPos`.
  static bool Approach(TnelProcBPData& d, const tagBPV_PULSE_FEATURE_POINT* pts, int16_t n, int16_t mapPos,
                       int32_t maxAmp, int16_t s, int16_t e, float target, int16_t* idx, float* pressure,
                       bool backward) {
    d.PulseNum = n;
    d.MAPPos = mapPos;
    return (d.*&TnelProcBPDataTestPeer::CountApproachingCoeffValue)(pts, maxAmp, s, e, target, idx, pressure,
                                                                    backward ? kBackward : kForward);
  }
  static float KrRatio(const TnelProcBPData& d, int16_t map, float* sh, float* sl, float* dh, float* dl) {
    return (d.*&TnelProcBPDataTestPeer::KR_GetProductRatio)(map, sh, sl, dh, dl);
  }
  static float SimRatio(const TnelProcBPData& d, int16_t map, float* sh, float* sl, float* dh, float* dl) {
    return (d.*&TnelProcBPDataTestPeer::SimCoeff_GetProductRatio)(map, sh, sl, dh, dl);
  }
  static float ShapeBand(const TnelProcBPData& d, int16_t map, float* upper, float* lower) {
    return (d.*&TnelProcBPDataTestPeer::MapCoeff_GetSBPProductRatio)(map, upper, lower);
  }
  static void Adjust(const TnelProcBPData& d, int16_t map, float* ka, float* kd) {
    (d.*&TnelProcBPDataTestPeer::MapCoeff_GetAdjustRatio)(map, ka, kd);
  }
  static void Filter(TnelProcBPData& d, int16_t n, tagBPV_PULSE_FEATURE_POINT* pts) {
    (d.*&TnelProcBPDataTestPeer::MapCoeff_PulseFilte)(n, pts, 5.0f);
  }
  // SearchBPValue over `n` pulses with the given MAP and maximum amplitude.
  static int16_t Search(TnelProcBPData& d, tagBPV_PULSE_FEATURE_POINT* pts, int16_t n, int16_t map, int16_t mapPos,
                        int32_t maxAmp, float high, float low, int16_t s, int16_t e, int16_t* pos, int16_t* pressure,
                        bool systolic) {
    d.Pulse = pts;
    d.PulseNum = n;
    d.MAP = map;
    d.MAPPos = mapPos;
    d.MaxAmplitude = maxAmp;
    return (d.*&TnelProcBPDataTestPeer::SearchBPValue)(high, low, s, e, pos, pressure, systolic);
  }
  static int16_t Nearest(const TnelProcBPData& d, const tagBPV_PULSE_FEATURE_POINT* pts, int16_t n, float v) {
    return (d.*&TnelProcBPDataTestPeer::NearestPulse)(pts, n, v);
  }
  static bool Judge(TnelProcBPData& d, int16_t sbp, int16_t dbp, int16_t map, bool ok) {
    d.SBP = sbp;
    d.DBP = dbp;
    d.MAP = map;
    return (d.*&TnelProcBPDataTestPeer::Accept)(ok);
  }
};
