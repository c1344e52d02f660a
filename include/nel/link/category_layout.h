// The wave list and cuff list of each detect category.
#pragma once

#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

namespace nel::link {

// Ordered wave and cuff lists fixed by one detect category. A "position" is an
// index into one of these lists.
struct CategoryLayout {
  int16_t waveCount = 0;               // 0..8
  tagTYPE_NEL_WAVEDATA waves[8] = {};  // wave kind at each wave position
  int16_t cuffCount = 0;               // 0..6
  tagTYPE_NEL_BPDATA cuffs[6] = {};    // channel at each cuff position
  int16_t cuffWavePos[6] = {};         // wave position of each cuff's pulse wave
};

// Fills `out` with the lists of `category` and returns true for the values 0
// to 6; any other value leaves `out` untouched and returns false.
NEL_API bool LayoutForCategory(int32_t category, CategoryLayout& out);

}  // namespace nel::link
