#include <nel/link/category_layout.h>

#include <initializer_list>

namespace nel::link {

namespace {

CategoryLayout Make(std::initializer_list<tagTYPE_NEL_WAVEDATA> waves, std::initializer_list<tagTYPE_NEL_BPDATA> cuffs,
                    std::initializer_list<int16_t> cuffWavePos) {
  CategoryLayout l;
  for (auto w : waves) l.waves[l.waveCount++] = w;
  int i = 0;
  for (auto c : cuffs) l.cuffs[i++] = c;
  l.cuffCount = static_cast<int16_t>(i);
  i = 0;
  for (auto p : cuffWavePos) l.cuffWavePos[i++] = p;
  return l;
}

}  // namespace

bool LayoutForCategory(int32_t category, CategoryLayout& out) {
  switch (category) {
    case DETECT_BRA_ANK:
    case DETECT_BRA_ANK2:
      out = Make({WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK}, {BP_RBRA, BP_LBRA, BP_RANK, BP_LANK},
                 {2, 3, 4, 5});
      return true;
    case DETECT_BRA_TOE:
      out = Make({WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RTOE, WAVE_LTOE}, {BP_RBRA, BP_LBRA, BP_RTOE, BP_LTOE},
                 {2, 3, 4, 5});
      return true;
    case DETECT_ECG_PCG: out = Make({WAVE_ECG, WAVE_PCG}, {}, {}); return true;
    case DETECT_ALL:
    case DETECT_ALL2:
      out = Make({WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK, WAVE_RTOE, WAVE_LTOE},
                 {BP_RBRA, BP_LBRA, BP_RANK, BP_LANK, BP_RTOE, BP_LTOE}, {2, 3, 4, 5, 6, 7});
      return true;
    case DETECT_PULSE:
      out = Make({WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK, WAVE_RTOE, WAVE_LTOE},
                 {BP_RBRA, BP_LBRA, BP_RANK, BP_LANK, BP_RTOE, BP_LTOE}, {0, 1, 2, 3, 4, 5});
      return true;
    default: return false;
  }
}

}  // namespace nel::link
