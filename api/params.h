// Normalisation of the parameter block and the smoothing half-windows.
#pragma once

#include <cstdint>

#include "placidor.h"

namespace placidor::api {

// Applies the defaults and bounds of StabilizerInit in place. Defined for
// every field value (64-bit intermediates, no overflow).
void normalise(StabilizerParams &params);

// frameRate * smoothTimeMs * 0.0005 in double precision, truncated toward
// zero; NaN gives 0 and values beyond the 32-bit range saturate.
std::int32_t halfWindow(float frameRate, std::int32_t smoothTimeMs);

}  // namespace placidor::api
