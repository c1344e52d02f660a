// Characteristic-ratio tables of the BP value calculation, indexed by the MAP
// band. All values are single-precision constants.
#pragma once

#include <cstdint>

namespace nel::bp {

inline constexpr int kMapBandCount = 7;

// MAP band of a mean pressure (mmHg): below 50, 50-67, 68-83, 84-103, 104-140,
// 141-189, 190 and above.
constexpr int MapBand(int map) {
  if (map < 50) return 0;
  if (map < 68) return 1;
  if (map < 84) return 2;
  if (map < 104) return 3;
  if (map < 141) return 4;
  if (map < 190) return 5;
  return 6;
}

// KR method: characteristic ratio of each side (the band is the ratio +- 0.2).
struct KrSideRatio {
  float sbp;
  float dbp;
};
inline constexpr KrSideRatio kKrRatio[kMapBandCount] = {
    {0.6228f, 0.5262f}, {0.5685f, 0.592f},  {0.5629f, 0.611f}, {0.5442f, 0.6102f},
    {0.5434f, 0.59f},   {0.5411f, 0.5998f}, {0.515f, 0.5773f},
};

// Fixed-coefficient method: systolic and diastolic ratio bands (high, low).
struct SimCoeffBand {
  float sbpHigh;
  float sbpLow;
  float dbpHigh;
  float dbpLow;
};
inline constexpr SimCoeffBand kSimCoeffBand[kMapBandCount] = {
    {0.54876f, 0.52876f, 0.522276f, 0.502276f},   {0.505f, 0.485f, 0.52f, 0.5f},
    {0.520452f, 0.500452f, 0.583711f, 0.563711f}, {0.506594f, 0.486594f, 0.579599f, 0.559599f},
    {0.475f, 0.455f, 0.565404f, 0.545404f},       {0.477846f, 0.457846f, 0.595146f, 0.575146f},
    {0.456505f, 0.436505f, 0.6063f, 0.5863f},
};

// MAP-coefficient method: admissible band of the systolic (shape) ratio.
struct ShapeRatioBand {
  float upper;
  float lower;
};
inline constexpr ShapeRatioBand kShapeRatioBand[kMapBandCount] = {
    {0.537228f, 0.237228f}, {0.553361f, 0.253361f}, {0.555553f, 0.255553f}, {0.564514f, 0.264514f},
    {0.571749f, 0.271749f}, {0.583023f, 0.283023f}, {0.591135f, 0.291135f},
};

// MAP-coefficient method: adjustment factors of the systolic and diastolic ratio.
struct AdjustRatio {
  float sbp;
  float dbp;
};
inline constexpr AdjustRatio kAdjustRatio[kMapBandCount] = {
    {0.34f, -0.07f}, {0.24f, -0.06f}, {0.21f, 0.0f}, {0.21f, -0.08f}, {0.15f, -0.08f}, {0.12f, 0.0f}, {0.03f, 0.08f},
};

}  // namespace nel::bp
