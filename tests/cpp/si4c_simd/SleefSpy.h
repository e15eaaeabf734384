// Counts the calls of SLEEF's atan2 of each instruction set made anywhere in this program, libsi4c
// included: the test program defines (and exports) those functions itself, counts, and forwards to
// SLEEF's. A dynamic library's calls bind to the program's definitions first, so this shows which
// conversion the shipped library really runs.
#pragma once

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {
namespace test {

// Calls so far of the atan2 the vectorised conversions of `isa` use; -1 where this program does not
// intercept it.
long sleefAtan2Calls(PhaseIsa isa);

// Doubles per call of that atan2.
int sleefAtan2Width(PhaseIsa isa);

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
