// Pump values of the fixed-pressure hold, apart for their tests.
#pragma once

namespace nel::cuff {

// Pump level for a limb cuff `deficit` mmHg below the band's lower edge:
// deficit x 10 + 6500, truncated toward zero, limited to 4500..9000.
int FixedHoldLimbLevel(float deficit);
// Third pump value for a toe cuff `deficit` mmHg below the lower edge:
// deficit + 20, truncated toward zero, limited to 20..80.
int FixedHoldToeValue(float deficit);

}  // namespace nel::cuff
