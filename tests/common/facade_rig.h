// The stepped façade of sim/stepped_rig.h in a test: a step whose frames did
// not arrive in time fails the test, whatever the caller does with the result.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "sim/stepped_rig.h"

namespace nel::test {

class FacadeRig : public sim::SteppedFacade {
 public:
  using SteppedFacade::SteppedFacade;

  // True when `until` held within `maxSeconds` of virtual time.
  bool RunUntil(double maxSeconds, const std::function<bool()>& until) {
    const sim::RunEnd end = SteppedFacade::RunUntil(maxSeconds, until);
    if (!sim::Delivered(end)) ADD_FAILURE() << "the unit's frames of a step did not arrive within 10 s";
    return end == sim::RunEnd::kHeld;
  }
};

}  // namespace nel::test
